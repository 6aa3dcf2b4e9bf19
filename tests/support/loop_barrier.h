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

} // namespace quorvex::test

#endif
