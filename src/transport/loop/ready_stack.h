// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_LOOP_READY_STACK_H
#define QUORVEX_TRANSPORT_LOOP_READY_STACK_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

#include "transport/io/hand_off_seam.h"

class CWSSConn;

namespace quorvex::transport::detail {

// A connection's place in its loop's list of connections to write; one per
// connection object, for its whole life.
struct ReadyEntry {
    std::atomic<ReadyEntry*> next{nullptr};
    std::atomic<bool> listed{false}; // in a stack now: pushed, not yet taken
    CWSSConn* conn = nullptr;        // set once, before the entry is shared
};

// The connections other threads have something for, without a lock: a
// Treiber stack that writers push onto and the loop takes whole.
//
// Why it is correct under the C++ memory model: a writer claims the entry
// with an exchange on listed (so an entry is never in the stack twice), sets
// its link, and publishes it with a release compare-and-swap on the top. The
// loop takes the whole stack with one acquire exchange; each later push was
// a read-modify-write in the release sequence of the earlier ones, so every
// link is visible. The loop reads an entry's link before it releases listed,
// and a writer's next claim acquires that release, so the link is not
// rewritten under the loop. Taking the whole stack at once leaves no ABA
// problem: no node is ever removed from the middle or popped alone.
//
// A writer never waits: a failed compare-and-swap means another writer got
// in first, and it simply tries again. The loop never waits either. An
// entry may be pushed only while its connection object lives: the loop
// takes the stack before it frees or detaches one.
template <typename Seam = NoSeam>
class ReadyStack {
public:
    // Any thread: lists the entry; false if it was listed already.
    bool push(ReadyEntry& entry) {
        if (entry.listed.exchange(true, std::memory_order_acq_rel)) return false;
        ReadyEntry* top = top_.load(std::memory_order_relaxed);
        do {
            entry.next.store(top, std::memory_order_relaxed);
        } while (!top_.compare_exchange_weak(top, &entry, std::memory_order_release, std::memory_order_relaxed));
        return true;
    }

    // Consumer: appends every listed connection to into, oldest first, and
    // unlists them; into keeps its capacity from pass to pass.
    void takeAll(std::vector<CWSSConn*>& into) {
        ReadyEntry* entry = top_.exchange(nullptr, std::memory_order_acquire);
        Seam::whileTaking();
        auto from = into.size();
        while (entry) {
            ReadyEntry* next = entry->next.load(std::memory_order_relaxed);
            into.push_back(entry->conn);
            entry->listed.store(false, std::memory_order_release);
            entry = next;
        }
        std::reverse(into.begin() + static_cast<std::ptrdiff_t>(from), into.end());
    }

private:
    std::atomic<ReadyEntry*> top_{nullptr};
};

} // namespace quorvex::transport::detail

#endif
