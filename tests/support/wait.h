// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_WAIT_H
#define QUORVEX_TESTS_SUPPORT_WAIT_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace quorvex::test {

constexpr std::chrono::milliseconds kDeadline{5000};

// A mutex and condition variable pair that test doubles notify on every change.
class Signal {
public:
    // Notifies under the lock, so a waiter that returns may destroy the signal at once.
    template <typename F>
    void update(F&& change) {
        std::lock_guard<std::mutex> guard(lock_);
        change();
        changed_.notify_all();
    }
    // True when the condition held before the deadline.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = kDeadline) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, deadline, condition);
    }
    std::mutex& lock() { return lock_; }
    void notifyAll() { changed_.notify_all(); } // with lock() held

private:
    std::mutex lock_;
    std::condition_variable changed_;
};

} // namespace quorvex::test

#endif
