#ifndef QUORVEX_TRANSPORT_DETAIL_SEND_QUEUE_H
#define QUORVEX_TRANSPORT_DETAIL_SEND_QUEUE_H

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace quorvex::transport::detail {

// One outgoing WebSocket message, with libwebsockets' header room in front.
struct OutMessage {
    std::vector<unsigned char> buffer; // headroom + payload
    std::size_t payloadSize = 0;
    std::size_t sent = 0; // payload bytes already handed to libwebsockets
    bool binary = false;

    unsigned char* payload();
};

// Messages waiting for the socket. Producers are any thread; the consumer is
// the loop thread, which alone removes entries.
class SendQueue {
public:
    // Returns true when the queue was empty before the push.
    bool push(std::unique_ptr<OutMessage> message);
    OutMessage* front();
    void popFront();
    void clear();
    std::size_t size() const { return size_.load(std::memory_order_relaxed); }

private:
    mutable std::mutex lock_; // guards messages_
    std::deque<std::unique_ptr<OutMessage>> messages_;
    std::atomic<std::size_t> size_{0};
};

std::unique_ptr<OutMessage> makeOutMessage(const unsigned char* data, std::size_t size, bool binary);

} // namespace quorvex::transport::detail

#endif
