// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_IO_SEND_QUEUE_H
#define QUORVEX_TRANSPORT_IO_SEND_QUEUE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "transport/transport_control.h"
#include "transport/io/mpsc_queue.h"

namespace quorvex::transport::detail {

// One outgoing WebSocket message in one allocation: this record, then
// libwebsockets' header room (where the frame header is written), then the
// payload. A full queue of audio costs little more than the audio itself.
struct alignas(16) OutMessage {
    std::size_t payloadSize = 0;
    std::size_t capacity = 0;                // payload bytes the allocation holds
    std::atomic<OutMessage*> next{nullptr}; // in its queue
    std::uint64_t connection = 0;            // the queue's connection it was accepted for
    bool binary = false;

    unsigned char* payload();
    // Frees what makeOutMessage allocated, whatever its size.
    static void operator delete(void* message) { ::operator delete(message); }
};

// A first-in first-out list threaded through the messages themselves, of
// one thread's own: an idle connection's list costs three words.
class MessageList {
public:
    MessageList() = default;
    ~MessageList() { clear(); }
    MessageList(const MessageList&) = delete;
    MessageList& operator=(const MessageList&) = delete;

    void pushBack(std::unique_ptr<OutMessage> message);
    std::unique_ptr<OutMessage> popFront();
    void clear();
    OutMessage* front() const { return head_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    OutMessage* head_ = nullptr;
    OutMessage* tail_ = nullptr;
    std::size_t size_ = 0;
};

// Messages waiting for the socket, handed off without a lock. Producers are
// any thread and only ever use atomics: the connection and gate (one word),
// the byte count, two spare-buffer slots and the message queue (MpscQueue).
// The consumer is the connection's loop thread; it alone removes messages.
// Nobody waits for anybody: a producer stopped anywhere holds nothing the
// loop or another producer needs (see MpscQueue for the one place where
// messages queued behind it wait for it).
//
// Each connection opens the queue and closes it, which counts the queue's
// connection. Every message carries the connection it was accepted for, and
// the consumer drops what is not for the current one: nothing written for one
// connection can leave on the next, however long its writer was stopped.
class SendQueue {
public:
    enum class Gate : std::uint64_t {
        Closed,   // no connection: writes are dropped
        LoopOnly, // a connection is opening: what its own loop-thread writes
                  // leaves first, ahead of other threads' writes
        Open,
    };
    enum class Push { Accepted, Dropped, Full };
    // A write tied to no connection in particular: whichever is open.
    static constexpr std::uint64_t kAnyConnection = 0;

    // The first step of a hand-off: a message of the size asked for, room
    // under the cap counted for it, to be filled and then committed. Nothing
    // waits for a claim that is never committed but its bytes under the cap.
    struct Claim {
        Claim() = default;
        Claim(Claim&&) = default;
        Claim& operator=(Claim&&) = default;
        ~Claim(); // one never committed gives its room back

        std::unique_ptr<OutMessage> message; // null unless accepted
        Push outcome = Push::Dropped;
        bool first = false; // the opening connection's own loop-thread write
        SendQueue* queue = nullptr;
    };

    explicit SendQueue(std::size_t capBytes = 2u << 20) : capBytes_(capBytes) {}
    ~SendQueue();
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    // Any thread. Copies the bytes (pieces joined in order) into a message and
    // queues it, for the connection given (connection()) only, if it is still
    // the queue's. Full: the payload would pass the cap; the queue refuses
    // every later write until it is opened again.
    Push push(const ByteSpan* pieces, std::size_t count, bool binary, bool fromLoop,
              std::uint64_t connection = kAnyConnection);
    Push push(const unsigned char* data, std::size_t size, bool binary, bool fromLoop);
    // The same in its two steps; the payload is filled in between.
    Claim claim(std::size_t size, bool binary, bool fromLoop, std::uint64_t connection = kAnyConnection);
    Push commit(Claim claim);

    // Any thread: the connection the queue serves now, counted by reset.
    // Read it before checking that a session runs.
    std::uint64_t connection() const { return state_.load(std::memory_order_acquire) >> kGateBits; }
    // Any thread: a new connection (or none, Closed). What is queued is
    // dropped: freed by the consumer's next look, or by discardAll.
    void reset(Gate gate, std::size_t capBytes);
    void close() { reset(Gate::Closed, capBytes()); }
    // Consumer: closes and frees what is queued, at once.
    void discardAll();
    // Consumer: LoopOnly becomes Open; a queue closed meanwhile stays closed.
    void openGate();

    // Consumer: the next message for the current connection (older ones are
    // dropped on the way), the one after it is of at most limit bytes too,
    // and the removal of the first.
    OutMessage* front();
    bool smallPairAtFront(std::size_t limit);
    void popFront();

    std::size_t size() const { return count_.load(std::memory_order_relaxed); }
    std::size_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    std::size_t capBytes() const { return capBytes_.load(std::memory_order_relaxed); }

    // Spare messages kept for reuse, and the largest payload one may hold:
    // a stream of audio frames costs no allocation once it flows.
    static constexpr std::size_t kSpares = 2;
    static constexpr std::size_t kSpareBytes = 4096;

private:
    static constexpr unsigned kGateBits = 2;
    static std::uint64_t pack(std::uint64_t connection, Gate gate) {
        return connection << kGateBits | static_cast<std::uint64_t>(gate);
    }
    static Gate gateOf(std::uint64_t state) { return static_cast<Gate>(state & ((1u << kGateBits) - 1)); }
    bool reserve(std::size_t size);
    std::unique_ptr<OutMessage> takeSpare(std::size_t size);
    void recycle(std::unique_ptr<OutMessage> message);
    void release(std::unique_ptr<OutMessage> message); // consumer: a message leaves the queue
    MessageList& current();                            // consumer: where the next message is
    bool collect();                                    // consumer: from the queue into taken_

    // The connection (counted from 1) and its gate; producers read it, reset
    // and the cap change it.
    std::atomic<std::uint64_t> state_{pack(1, Gate::Closed)};
    std::atomic<std::size_t> capBytes_;
    std::atomic<std::size_t> bytes_{0}; // payload bytes queued, of any connection
    std::atomic<std::size_t> count_{0};
    std::atomic<OutMessage*> spares_[kSpares] = {};
    MpscQueue<OutMessage> queue_;
    MessageList first_; // consumer: the opening connection's own writes
    MessageList taken_; // consumer: taken from queue_, not yet sent
};

std::unique_ptr<OutMessage> makeOutMessage(const unsigned char* data, std::size_t size, bool binary);

} // namespace quorvex::transport::detail

#endif
