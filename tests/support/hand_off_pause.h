// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_HAND_OFF_PAUSE_H
#define QUORVEX_TESTS_SUPPORT_HAND_OFF_PAUSE_H

#include <atomic>
#include <thread>

#include "transport/io/send_queue.h"
#include "wait.h"

namespace quorvex::test {

// Stops one thread between copying its message and queueing it, until
// released: a writer descheduled at the worst moment, made deterministic.
class HandOffPause {
public:
    HandOffPause() {
        signal().update([] {
            paused() = released() = false;
            targetId() = std::thread::id{};
        });
        transport::detail::handOffPauseForTests = &HandOffPause::pause;
    }
    HandOffPause(const HandOffPause&) = delete;
    HandOffPause& operator=(const HandOffPause&) = delete;
    ~HandOffPause() {
        release();
        transport::detail::handOffPauseForTests = nullptr;
    }
    // Called on the thread to stop, before its write.
    void target() { signal().update([] { targetId() = std::this_thread::get_id(); }); }
    bool waitPaused() { return signal().waitUntil([] { return paused(); }); }
    // Whether it was still stopped when released.
    bool release() {
        bool wasStopped = false;
        signal().update([&] {
            wasStopped = paused() && !released();
            released() = true;
        });
        return wasStopped;
    }

private:
    static void pause() {
        if (std::this_thread::get_id() != targetId().load()) return;
        signal().update([] { paused() = true; });
        signal().waitUntil([] { return released(); }, std::chrono::milliseconds(30000));
    }
    static Signal& signal() {
        static Signal instance;
        return instance;
    }
    static std::atomic<std::thread::id>& targetId() {
        static std::atomic<std::thread::id> id{};
        return id;
    }
    static bool& paused() {
        static bool value = false;
        return value;
    }
    static bool& released() {
        static bool value = false;
        return value;
    }
};

} // namespace quorvex::test

#endif
