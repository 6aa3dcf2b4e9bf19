// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_LOOP_BARRIER_H
#define QUORVEX_TESTS_SUPPORT_LOOP_BARRIER_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "transport/wss_context.h"
#include "wait.h"

namespace quorvex::test {

// Succeeds once the loop thread has run `work`, after everything posted to it
// before the call; fails, saying so, when the loop does not come back in time.
// Use as ASSERT_TRUE(runOnLoop(context, ...)).
[[nodiscard]] inline ::testing::AssertionResult runOnLoop(CWSSContext* context, std::function<void()> work,
                                                          std::chrono::milliseconds deadline = kDeadline) {
    // Shared with the timer, so a loop that comes back after the deadline writes into live memory.
    struct Passage {
        Signal signal;
        bool passed = false;
    };
    auto passage = std::make_shared<Passage>();
    void* timer = context->addTimer(
        [passage, work = std::move(work)](void*) {
            work();
            passage->signal.update([&] { passage->passed = true; });
            return false;
        },
        0);
    if (!timer) return ::testing::AssertionFailure() << "the loop refused a timer: it is not running";
    if (passage->signal.waitUntil([&] { return passage->passed; }, deadline)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the loop thread did not come back within " << deadline.count() << " ms";
}

// The barrier: everything posted to the loop before the call has been handled.
[[nodiscard]] inline ::testing::AssertionResult loopBarrier(CWSSContext* context,
                                                            std::chrono::milliseconds deadline = kDeadline) {
    return runOnLoop(context, [] {}, deadline);
}

// Keeps the loop thread inside a timer until release() (or destruction), so
// that what other threads hand over meanwhile waits for it all together.
class LoopHold {
public:
    explicit LoopHold(CWSSContext* context) {
        context->addTimer(
            [shared = shared_](void*) {
                shared->signal.update([&] { shared->busy = true; });
                shared->signal.waitUntil([&] { return shared->released; });
                return false;
            },
            0);
        held_ = shared_->signal.waitUntil([&] { return shared_->busy; });
    }
    ~LoopHold() { release(); }
    LoopHold(const LoopHold&) = delete;
    LoopHold& operator=(const LoopHold&) = delete;
    bool held() const { return held_; } // false: the loop never ran the timer
    void release() {
        shared_->signal.update([&] { shared_->released = true; });
    }

private:
    struct Shared { // with the timer, which may outlive a failed test
        Signal signal;
        bool busy = false, released = false;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    bool held_ = false;
};

} // namespace quorvex::test

#endif
