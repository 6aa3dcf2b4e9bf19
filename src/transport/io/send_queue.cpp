// SPDX-License-Identifier: Apache-2.0
#include "transport/io/send_queue.h"

#include <libwebsockets.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

static_assert(LWS_PRE >= 14, "frame headers are written into the headroom in front of a payload");

namespace quorvex::transport::detail {

static_assert(sizeof(OutMessage) % alignof(std::max_align_t) == 0, "the header room starts aligned");
static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<OutMessage*>::is_always_lock_free,
              "the hand-off takes no lock, not even inside the atomics");

unsigned char* OutMessage::payload() { return reinterpret_cast<unsigned char*>(this + 1) + LWS_PRE; }

namespace {
std::unique_ptr<OutMessage> allocateOutMessage(std::size_t size) {
    void* storage = ::operator new(sizeof(OutMessage) + LWS_PRE + size);
    std::unique_ptr<OutMessage> message(new (storage) OutMessage());
    message->capacity = size;
    return message;
}

void fill(OutMessage& message, const ByteSpan* pieces, std::size_t count) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (pieces[i].size > 0) std::memcpy(message.payload() + at, pieces[i].data, pieces[i].size);
        at += pieces[i].size;
    }
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
    fill(*message, &whole, 1);
    message->payloadSize = size;
    message->binary = binary;
    return message;
}

void MessageList::pushBack(std::unique_ptr<OutMessage> message) {
    OutMessage* added = message.release();
    added->next.store(nullptr, std::memory_order_relaxed);
    if (tail_)
        tail_->next.store(added, std::memory_order_relaxed);
    else
        head_ = added;
    tail_ = added;
    ++size_;
}

std::unique_ptr<OutMessage> MessageList::popFront() {
    std::unique_ptr<OutMessage> first(head_);
    if (!head_) return first;
    head_ = head_->next.load(std::memory_order_relaxed);
    if (!head_) tail_ = nullptr;
    first->next.store(nullptr, std::memory_order_relaxed);
    --size_;
    return first;
}

void MessageList::clear() {
    while (head_) popFront();
}

SendQueue::Claim::~Claim() {
    if (message && queue) queue->bytes_.fetch_sub(message->payloadSize, std::memory_order_relaxed);
}

SendQueue::~SendQueue() {
    while (OutMessage* message = queue_.pop()) delete message; // no producer is left
    for (auto& slot : spares_) delete slot.load(std::memory_order_acquire);
}

// Room under the cap, claimed with compare-and-swap: a producer that loses
// the race tries again with the count it lost to, and never waits.
bool SendQueue::reserve(std::size_t size) {
    std::size_t cap = capBytes_.load(std::memory_order_relaxed);
    std::size_t queued = bytes_.load(std::memory_order_relaxed);
    do {
        if (size > cap || queued > cap - size) return false;
    } while (!bytes_.compare_exchange_weak(queued, queued + size, std::memory_order_relaxed));
    return true;
}

// A slot is emptied with one exchange, so two producers can never take the
// same spare; the consumer's release (recycle) orders its last use of the
// buffer (the masking in place) before the next producer's copy.
std::unique_ptr<OutMessage> SendQueue::takeSpare(std::size_t size) {
    for (auto& slot : spares_) {
        if (!slot.load(std::memory_order_relaxed)) continue;
        std::unique_ptr<OutMessage> spare(slot.exchange(nullptr, std::memory_order_acquire));
        if (!spare) continue;
        if (spare->capacity >= size) return spare;
        OutMessage* empty = nullptr;
        if (slot.compare_exchange_strong(empty, spare.get(), std::memory_order_release, std::memory_order_relaxed))
            spare.release(); // too small for this one: back for the next
    }
    // Rounded up, so that frames of slightly different sizes share buffers.
    constexpr std::size_t kGrain = 128;
    return allocateOutMessage(size <= kSpareBytes ? std::max(kGrain, (size + kGrain - 1) / kGrain * kGrain) : size);
}

// Each slot takes the message in hand and hands on what it held: a smaller
// spare is dropped on the way (a session's start request would otherwise
// keep a slot that audio never fits), a larger one tries the next slot.
void SendQueue::recycle(std::unique_ptr<OutMessage> message) {
    if (message->capacity > kSpareBytes) return;
    for (auto& slot : spares_) {
        std::size_t placed = message->capacity;
        std::unique_ptr<OutMessage> held(slot.exchange(message.release(), std::memory_order_acq_rel));
        if (!held || held->capacity < placed) return; // a smaller one is freed here, on the loop
        message = std::move(held);
    }
}

SendQueue::Push SendQueue::push(const unsigned char* data, std::size_t size, bool binary, bool fromLoop) {
    ByteSpan whole{data, size};
    return push(&whole, 1, binary, fromLoop);
}

SendQueue::Push SendQueue::push(const ByteSpan* pieces, std::size_t count, bool binary, bool fromLoop,
                                std::uint64_t connection) {
    Claim claimed = claim(totalSize(pieces, count), binary, fromLoop, connection);
    if (claimed.message) fill(*claimed.message, pieces, count);
    return commit(std::move(claimed));
}

SendQueue::Claim SendQueue::claim(std::size_t size, bool binary, bool fromLoop, std::uint64_t connection) {
    Claim claimed;
    std::uint64_t state = state_.load(std::memory_order_acquire);
    std::uint64_t current = state >> kGateBits;
    Gate gate = gateOf(state);
    if (gate == Gate::Closed || (connection != kAnyConnection && connection != current)) return claimed;
    if (!reserve(size)) {
        // Closed for this connection only: a reset since has opened another.
        state_.compare_exchange_strong(state, pack(current, Gate::Closed), std::memory_order_acq_rel,
                                       std::memory_order_relaxed);
        claimed.outcome = Push::Full;
        return claimed;
    }
    claimed.queue = this;
    claimed.message = takeSpare(size);
    claimed.message->payloadSize = size;
    claimed.message->binary = binary;
    claimed.message->connection = current;
    claimed.first = fromLoop && gate == Gate::LoopOnly;
    claimed.outcome = Push::Accepted;
    return claimed;
}

SendQueue::Push SendQueue::commit(Claim claimed) {
    if (!claimed.message) return claimed.outcome;
    count_.fetch_add(1, std::memory_order_relaxed);
    if (claimed.first) {
        first_.pushBack(std::move(claimed.message)); // the loop thread: the consumer's own list
    } else {
        queue_.push(claimed.message.release());
    }
    return Push::Accepted;
}

void SendQueue::reset(Gate gate, std::size_t capBytes) {
    capBytes_.store(capBytes, std::memory_order_relaxed); // published by the state's release below
    std::uint64_t state = state_.load(std::memory_order_relaxed);
    while (!state_.compare_exchange_weak(state, pack((state >> kGateBits) + 1, gate), std::memory_order_acq_rel,
                                         std::memory_order_relaxed)) {
    }
}

void SendQueue::openGate() {
    std::uint64_t state = state_.load(std::memory_order_relaxed);
    while (gateOf(state) == Gate::LoopOnly &&
           !state_.compare_exchange_weak(state, pack(state >> kGateBits, Gate::Open), std::memory_order_acq_rel,
                                         std::memory_order_relaxed)) {
    }
}

void SendQueue::discardAll() {
    close();
    collect();
    while (!first_.empty()) release(first_.popFront());
    while (!taken_.empty()) release(taken_.popFront());
}

bool SendQueue::collect() {
    bool any = false;
    while (OutMessage* message = queue_.pop()) {
        taken_.pushBack(std::unique_ptr<OutMessage>(message));
        any = true;
    }
    return any;
}

MessageList& SendQueue::current() { return first_.empty() ? taken_ : first_; }

void SendQueue::release(std::unique_ptr<OutMessage> message) {
    if (!message) return;
    bytes_.fetch_sub(message->payloadSize, std::memory_order_relaxed);
    count_.fetch_sub(1, std::memory_order_relaxed);
    recycle(std::move(message));
}

OutMessage* SendQueue::front() {
    std::uint64_t connection = this->connection();
    for (;;) {
        if (first_.empty() && taken_.empty() && !collect()) return nullptr;
        MessageList& list = current();
        if (list.front()->connection == connection) return list.front();
        release(list.popFront()); // an earlier connection's: it must not leave on this one
    }
}

bool SendQueue::smallPairAtFront(std::size_t limit) {
    OutMessage* first = front();
    if (!first || first->payloadSize > limit) return false;
    OutMessage* second = first->next.load(std::memory_order_relaxed);
    if (!second && first == first_.front() && first_.size() == 1) {
        if (taken_.empty()) collect();
        second = taken_.front();
    } else if (!second) {
        collect();
        second = first->next.load(std::memory_order_relaxed);
    }
    return second && second->payloadSize <= limit;
}

void SendQueue::popFront() { release(current().popFront()); }

} // namespace quorvex::transport::detail
