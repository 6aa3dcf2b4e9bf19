// SPDX-License-Identifier: Apache-2.0
#include "transport/io/send_queue.h"

#include <libwebsockets.h>

#include <cstddef>
#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

static_assert(LWS_PRE >= 14, "frame headers are written into the headroom in front of a payload");

namespace quorvex::transport::detail {

static_assert(sizeof(OutMessage) % alignof(std::max_align_t) == 0, "the header room starts aligned");

unsigned char* OutMessage::payload() { return reinterpret_cast<unsigned char*>(this + 1) + LWS_PRE; }

std::atomic<void (*)()> handOffPauseForTests{nullptr};

namespace {
std::unique_ptr<OutMessage> allocateOutMessage(std::size_t size) {
    void* storage = ::operator new(sizeof(OutMessage) + LWS_PRE + size);
    std::unique_ptr<OutMessage> message(new (storage) OutMessage());
    message->capacity = size;
    return message;
}

void fill(OutMessage& message, const ByteSpan* pieces, std::size_t count, bool binary) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (pieces[i].size > 0) std::memcpy(message.payload() + size, pieces[i].data, pieces[i].size);
        size += pieces[i].size;
    }
    message.payloadSize = size;
    message.binary = binary;
}

std::size_t totalSize(const ByteSpan* pieces, std::size_t count) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < count; ++i) size += pieces[i].size;
    return size;
}
} // namespace

std::unique_ptr<OutMessage> makeOutMessage(const unsigned char* data, std::size_t size, bool binary) {
    auto message = allocateOutMessage(size);
    ByteSpan whole{data, size};
    fill(*message, &whole, 1, binary);
    return message;
}

void MessageList::pushBack(std::unique_ptr<OutMessage> message) {
    OutMessage* added = message.release();
    added->next = nullptr;
    (tail_ ? tail_->next : head_) = added;
    tail_ = added;
    ++size_;
}

std::unique_ptr<OutMessage> MessageList::popFront() {
    std::unique_ptr<OutMessage> first(head_);
    if (!head_) return first;
    head_ = head_->next;
    if (!head_) tail_ = nullptr;
    first->next = nullptr;
    --size_;
    return first;
}

void MessageList::appendAll(MessageList& other) {
    if (other.empty()) return;
    (tail_ ? tail_->next : head_) = other.head_;
    tail_ = other.tail_;
    size_ += other.size_;
    other.head_ = other.tail_ = nullptr;
    other.size_ = 0;
}

void MessageList::swap(MessageList& other) noexcept {
    std::swap(head_, other.head_);
    std::swap(tail_, other.tail_);
    std::swap(size_, other.size_);
}

void MessageList::clear() {
    while (head_) popFront();
}

std::unique_ptr<OutMessage> SendQueue::takeSpare(std::size_t size) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        OutMessage* spare = spares_.front();
        if (spare && spare->capacity >= size) return spares_.popFront();
    }
    // Rounded up, so that frames of slightly different sizes share buffers.
    constexpr std::size_t kGrain = 128;
    return allocateOutMessage(size <= kSpareBytes ? std::max(kGrain, (size + kGrain - 1) / kGrain * kGrain) : size);
}

void SendQueue::recycle(std::unique_ptr<OutMessage> message) {
    if (message->capacity > kSpareBytes) return;
    // takeSpare looks at the front only: a smaller spare there (a session's
    // start request) would make every audio frame allocate. The loop's, freed here.
    if (spares_.size() == kSpares && spares_.front()->capacity < message->capacity) spares_.popFront();
    if (spares_.size() < kSpares) spares_.pushBack(std::move(message));
}

SendQueue::Push SendQueue::push(const unsigned char* data, std::size_t size, bool binary, bool fromLoop) {
    ByteSpan whole{data, size};
    return push(&whole, 1, binary, fromLoop);
}

SendQueue::Push SendQueue::push(const ByteSpan* pieces, std::size_t count, bool binary, bool fromLoop,
                                std::uint64_t connection) {
    auto message = takeSpare(totalSize(pieces, count));
    fill(*message, pieces, count, binary);
    if (auto pause = handOffPauseForTests.load(std::memory_order_relaxed)) pause();
    return push(std::move(message), fromLoop, connection);
}

SendQueue::Push SendQueue::push(std::unique_ptr<OutMessage> message, bool fromLoop, std::uint64_t connection) {
    std::unique_ptr<OutMessage> refused; // freed outside the lock
    std::lock_guard<std::mutex> guard(lock_);
    bool another = connection != kAnyConnection && connection != connection_.load(std::memory_order_relaxed);
    if (gate_ == Gate::Closed || another) {
        refused = std::move(message);
        return Push::Dropped;
    }
    if (message->payloadSize > capBytes_ - bytes_) {
        refused = std::move(message);
        gate_ = Gate::Closed;
        return Push::Full;
    }
    bytes_ += message->payloadSize;
    bool holdBack = gate_ == Gate::LoopOnly && !fromLoop;
    (holdBack ? held_ : messages_).pushBack(std::move(message));
    size_.store(messages_.size(), std::memory_order_relaxed);
    return Push::Accepted;
}

void SendQueue::reset(Gate gate, std::size_t capBytes) {
    MessageList dropped, droppedHeld; // freed outside the lock
    std::lock_guard<std::mutex> guard(lock_);
    dropped.swap(messages_);
    droppedHeld.swap(held_);
    bytes_ = 0;
    capBytes_ = capBytes;
    gate_ = gate;
    connection_.store(connection_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    size_.store(0, std::memory_order_relaxed);
}

void SendQueue::setGate(Gate gate) {
    std::lock_guard<std::mutex> guard(lock_);
    gate_ = gate;
    if (gate != Gate::Open) return;
    messages_.appendAll(held_);
    size_.store(messages_.size(), std::memory_order_relaxed);
}

OutMessage* SendQueue::front() {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_.front();
}

bool SendQueue::smallPairAtFront(std::size_t limit) {
    std::lock_guard<std::mutex> guard(lock_);
    const OutMessage* first = messages_.front();
    return first && first->payloadSize <= limit && first->next && first->next->payloadSize <= limit;
}

void SendQueue::popFront() {
    std::unique_ptr<OutMessage> done; // freed outside the lock unless kept
    std::lock_guard<std::mutex> guard(lock_);
    done = messages_.popFront();
    if (!done) return;
    bytes_ -= done->payloadSize;
    size_.store(messages_.size(), std::memory_order_relaxed);
    recycle(std::move(done));
}

std::size_t SendQueue::capBytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return capBytes_;
}

std::size_t SendQueue::bytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return bytes_;
}

} // namespace quorvex::transport::detail
