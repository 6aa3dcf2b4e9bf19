// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "loop_barrier.h"
#include "recording_client.h"

using namespace quorvex::test;

TEST(Timers, ZeroIntervalRunsOnceOnTheLoopThread) {
    Signal signal;
    int runs = 0;
    bool onLoop = false;
    bool later = false;
    LoopOwner loop; // declared last: a timer that wrongly repeats dies with the loop, before what it writes to
    void* handle = loop.context->addTimer(
        [&](void*) {
            signal.update([&] {
                ++runs;
                onLoop = loop.context->isLoopThread();
            });
            return false;
        },
        0);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(signal.waitUntil([&] { return runs >= 1; })) << "timer did not fire";
    EXPECT_TRUE(onLoop);
    // The timer stays undeleted until counted: a repeat of a zero-interval
    // timer would be due at once (or after the 1 ms floor of repeating
    // timers), so before this later one.
    loop.context->addTimer([&](void*) { signal.update([&] { later = true; }); return false; }, 10);
    ASSERT_TRUE(signal.waitUntil([&] { return later; })) << "the later timer did not fire";
    {
        std::lock_guard<std::mutex> guard(signal.lock());
        EXPECT_EQ(runs, 1) << "a one-shot timer ran again";
    }
    loop.context->delTimer(handle); // already ran: harmless
    loop.context->delTimer(nullptr);
    ASSERT_TRUE(loopBarrier(loop.context)) << "the loop stopped serving after deleting a spent timer";
}

TEST(Timers, AddTimerNeverRunsTheCallbackBeforeReturning) {
    LoopOwner loop;
    Signal signal;
    bool ranEarly = false, done = false, returned = false;
    // Added from the loop thread itself, where running at once would be possible.
    loop.context->addTimer(
        [&](void*) {
            loop.context->addTimer([&](void*) { signal.update([&] { ranEarly = !returned; done = true; }); return false; }, 0);
            returned = true;
            return false;
        },
        0);
    ASSERT_TRUE(signal.waitUntil([&] { return done; }));
    EXPECT_FALSE(ranEarly);
}

TEST(Timers, RepeatsWhileTrueAndStopsWhenDeleted) {
    LoopOwner loop;
    Signal signal;
    int counted = 0;
    loop.context->addTimer([&](void*) {
        bool again = false;
        signal.update([&] { again = ++counted < 3; });
        return again;
    }, 1);
    ASSERT_TRUE(signal.waitUntil([&] { return counted == 3; }));

    int ticks = 0;
    void* ticking = loop.context->addTimer([&](void*) { signal.update([&] { ++ticks; }); return true; }, 1);
    ASSERT_TRUE(signal.waitUntil([&] { return ticks >= 2; }));
    loop.context->delTimer(ticking);
    // Once the deletion has been handled, a fresh zero timer sees a stable count.
    int seen = -1;
    loop.context->addTimer([&](void*) { signal.update([&] { seen = ticks; }); return false; }, 0);
    ASSERT_TRUE(signal.waitUntil([&] { return seen >= 0; }));
    int stable = 0;
    loop.context->addTimer([&](void*) { signal.update([&] { stable = 1; }); return false; }, 20);
    ASSERT_TRUE(signal.waitUntil([&] { return stable == 1; }));
    EXPECT_EQ(ticks, seen);
    EXPECT_EQ(counted, 3);
}

TEST(Timers, DeletingFromInsideItsOwnCallbackIsSafe) {
    LoopOwner loop;
    Signal signal;
    int runs = 0;
    void* handle = nullptr;
    std::mutex handleLock;
    {
        std::lock_guard<std::mutex> guard(handleLock);
        handle = loop.context->addTimer([&](void*) {
            std::lock_guard<std::mutex> inner(handleLock);
            loop.context->delTimer(handle);
            signal.update([&] { ++runs; });
            return true;
        }, 1);
    }
    ASSERT_TRUE(signal.waitUntil([&] { return runs == 1; }));
    int after = 0;
    loop.context->addTimer([&](void*) { signal.update([&] { after = 1; }); return false; }, 10);
    ASSERT_TRUE(signal.waitUntil([&] { return after == 1; }));
    EXPECT_EQ(runs, 1);
}

TEST(Timers, PendingTimersAreDroppedWithTheContext) {
    Signal signal;
    int runs = 0;
    {
        LoopOwner loop;
        loop.context->addTimer([&](void*) { signal.update([&] { ++runs; }); return false; }, 60000);
    }
    EXPECT_EQ(runs, 0);
}
