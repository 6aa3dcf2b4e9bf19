// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_IO_MPSC_QUEUE_H
#define QUORVEX_TRANSPORT_IO_MPSC_QUEUE_H

#include <atomic>

#include "transport/io/hand_off_seam.h"

namespace quorvex::transport::detail {

// Dmitry Vyukov's intrusive multi-producer single-consumer queue. A push is
// one exchange on the tail and one store: wait-free, whatever the other
// threads do. The consumer alone moves the head, so no producer ever waits
// for it either.
//
// Why it is correct under the C++ memory model: a producer first clears its
// node's link, then swaps it in as the tail (acq_rel: it acquires the node it
// follows, whose own cleared link therefore happens before the link it
// writes, and releases its own node), then links the node it follows to it
// with a release store. The consumer reads links with acquire loads, so
// whatever the producer wrote into its node before pushing is visible once
// the consumer reaches it. A node is handed back only once the head has
// moved past it and the tail no longer names it, so it may be pushed again.
//
// The cost of being wait-free: between its exchange and its store a producer
// has taken its place but not linked it, and the consumer sees the queue end
// before the node it will link from (that node cannot be handed out: the
// producer is about to write into it). That node and what other producers
// pushed behind it wait until the producer runs again, two instructions
// later unless it was descheduled right there; no call waits, and no other
// queue (connection) is concerned.
//
// Node: has a member std::atomic<Node*> next. The queue owns a stub node.
template <typename Node, typename Seam = NoSeam>
class MpscQueue {
public:
    MpscQueue() { tail_.store(&stub_, std::memory_order_relaxed); }
    MpscQueue(const MpscQueue&) = delete;
    MpscQueue& operator=(const MpscQueue&) = delete;

    // Any thread.
    void push(Node* node) {
        node->next.store(nullptr, std::memory_order_relaxed);
        Node* previous = tail_.exchange(node, std::memory_order_acq_rel);
        Seam::betweenExchangeAndLink();
        previous->next.store(node, std::memory_order_release);
    }

    // Consumer only: the oldest node, or null when none is (yet) linked.
    Node* pop() {
        Node* head = head_;
        Node* next = head->next.load(std::memory_order_acquire);
        Seam::whileTaking();
        if (head == &stub_) {
            if (!next) return nullptr;
            head_ = head = next;
            next = next->next.load(std::memory_order_acquire);
        }
        if (next) {
            head_ = next;
            return head;
        }
        if (head != tail_.load(std::memory_order_acquire)) return nullptr; // a producer is linking
        push(&stub_); // the last node goes; the stub keeps the queue non-empty
        next = head->next.load(std::memory_order_acquire);
        if (!next) return nullptr; // a producer came between: its link follows
        head_ = next;
        return head;
    }

private:
    Node* head_ = &stub_; // consumer only
    std::atomic<Node*> tail_;
    Node stub_;
};

} // namespace quorvex::transport::detail

#endif
