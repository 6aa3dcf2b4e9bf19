// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_IO_SEND_QUEUE_H
#define QUORVEX_TRANSPORT_IO_SEND_QUEUE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "transport/io/byte_span.h"

namespace quorvex::transport::detail {

// One outgoing WebSocket message in one allocation: this record, then
// libwebsockets' header room (where the frame header is written), then the
// payload. A full queue of audio costs little more than the audio itself.
struct alignas(16) OutMessage {
    std::size_t payloadSize = 0;
    std::size_t capacity = 0;   // payload bytes the allocation holds
    OutMessage* next = nullptr; // in its queue
    bool binary = false;

    unsigned char* payload();
    // Frees what makeOutMessage allocated, whatever its size.
    static void operator delete(void* message) { ::operator delete(message); }
};

// A first-in first-out list threaded through the messages themselves: an
// idle connection's queue costs three words, not a deque's first block.
class MessageList {
public:
    MessageList() = default;
    ~MessageList() { clear(); }
    MessageList(const MessageList&) = delete;
    MessageList& operator=(const MessageList&) = delete;

    void pushBack(std::unique_ptr<OutMessage> message);
    std::unique_ptr<OutMessage> popFront();
    void appendAll(MessageList& other); // leaves other empty
    void swap(MessageList& other) noexcept;
    void clear();
    OutMessage* front() const { return head_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    OutMessage* head_ = nullptr;
    OutMessage* tail_ = nullptr;
    std::size_t size_ = 0;
};

// Messages waiting for the socket. Producers are any thread; the consumer is
// the loop thread, which alone removes entries. Each connection opens it and
// closes it: a closed queue is empty and refuses writers, so nothing written
// for one connection can leave on the next, and the first message of a
// connection is the one its own open event writes.
class SendQueue {
public:
    enum class Gate {
        Closed,   // no connection: writes are dropped
        LoopOnly, // a connection is opening: its own loop-thread writes go first,
                  // other threads' writes wait until the gate opens
        Open,
    };
    enum class Push { Accepted, Dropped, Full };
    // A write tied to no connection in particular: whichever is open.
    static constexpr std::uint64_t kAnyConnection = 0;

    explicit SendQueue(std::size_t capBytes = 2u << 20) : capBytes_(capBytes) {}

    // Copies the bytes into a message and queues it. Full: the payload would
    // pass the cap; the queue refuses every later write until it is opened
    // again. Any thread; the lock is held for a few instructions at a time,
    // never across the copy, so a writer that is descheduled holds up nobody.
    Push push(const unsigned char* data, std::size_t size, bool binary, bool fromLoop);
    // The same for one message given in pieces, joined in order, and only
    // for the connection given (connection()), if it is still the queue's:
    // a write accepted for one connection is dropped rather than sent on
    // the next, however long its copy took.
    Push push(const ByteSpan* pieces, std::size_t count, bool binary, bool fromLoop,
              std::uint64_t connection = kAnyConnection);
    // Any thread: the connection the queue serves now, counted by reset.
    // Read it before checking that a session runs.
    std::uint64_t connection() const { return connection_.load(std::memory_order_acquire); }
    Push push(std::unique_ptr<OutMessage> message, bool fromLoop, std::uint64_t connection = kAnyConnection);
    // Empties the queue and sets its gate (and cap), as one step.
    void reset(Gate gate, std::size_t capBytes);
    void close() { reset(Gate::Closed, capBytes()); }
    void setGate(Gate gate);
    OutMessage* front();
    // The first two messages are both of at most limit bytes (other threads
    // append behind the first while it is read: ask here, under the lock).
    bool smallPairAtFront(std::size_t limit);
    void popFront();
    std::size_t size() const { return size_.load(std::memory_order_relaxed); }
    std::size_t bytes() const;
    std::size_t capBytes() const;

    // Spare messages kept for reuse, and the largest payload one may hold:
    // a stream of audio frames costs no allocation once it flows.
    static constexpr std::size_t kSpares = 2;
    static constexpr std::size_t kSpareBytes = 4096;

private:
    std::unique_ptr<OutMessage> takeSpare(std::size_t size);
    void recycle(std::unique_ptr<OutMessage> message); // under lock_

    mutable std::mutex lock_; // guards everything below but size_
    MessageList messages_;
    MessageList spares_;
    MessageList held_; // other threads' writes while LoopOnly; rarely any
    std::size_t bytes_ = 0;
    std::size_t capBytes_;
    Gate gate_ = Gate::Closed;
    std::atomic<std::size_t> size_{0};
    std::atomic<std::uint64_t> connection_{1}; // written under lock_
};

std::unique_ptr<OutMessage> makeOutMessage(const unsigned char* data, std::size_t size, bool binary);

// Tests only: called by a writer between copying its message and queueing
// it, to stop a thread in the middle of a hand-off.
extern std::atomic<void (*)()> handOffPauseForTests;

} // namespace quorvex::transport::detail

#endif
