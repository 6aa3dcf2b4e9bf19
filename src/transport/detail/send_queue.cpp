#include "send_queue.h"

#include <libwebsockets.h>

#include <cstring>

namespace quorvex::transport::detail {

unsigned char* OutMessage::payload() { return buffer.data() + LWS_PRE; }

std::unique_ptr<OutMessage> makeOutMessage(const unsigned char* data, std::size_t size, bool binary) {
    auto message = std::make_unique<OutMessage>();
    message->buffer.resize(LWS_PRE + size);
    if (size > 0) std::memcpy(message->payload(), data, size);
    message->payloadSize = size;
    message->binary = binary;
    return message;
}

bool SendQueue::push(std::unique_ptr<OutMessage> message) {
    std::lock_guard<std::mutex> guard(lock_);
    bool wasEmpty = messages_.empty();
    messages_.push_back(std::move(message));
    size_.store(messages_.size(), std::memory_order_relaxed);
    return wasEmpty;
}

OutMessage* SendQueue::front() {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_.empty() ? nullptr : messages_.front().get();
}

void SendQueue::popFront() {
    std::unique_ptr<OutMessage> done;
    std::lock_guard<std::mutex> guard(lock_);
    if (messages_.empty()) return;
    done = std::move(messages_.front());
    messages_.pop_front();
    size_.store(messages_.size(), std::memory_order_relaxed);
}

void SendQueue::clear() {
    std::deque<std::unique_ptr<OutMessage>> dropped;
    std::lock_guard<std::mutex> guard(lock_);
    dropped.swap(messages_);
    size_.store(0, std::memory_order_relaxed);
}

} // namespace quorvex::transport::detail
