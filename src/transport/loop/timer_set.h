// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_LOOP_TIMER_SET_H
#define QUORVEX_TRANSPORT_LOOP_TIMER_SET_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>

struct uv_loop_s;
struct uv_timer_s;

namespace quorvex::transport::detail {

class LoopCore;
struct Timer;

// The timers of one loop: an ordered schedule behind one libuv timer for the
// earliest, so adding one costs a logarithm, not a walk along libwebsockets'
// sorted list past every connection's timers. Handles are plain ids, so a
// stale handle is harmless.
class TimerSet {
public:
    using Callback = std::function<bool(void*)>;

    explicit TimerSet(LoopCore& loop);
    ~TimerSet();
    TimerSet(const TimerSet&) = delete;
    TimerSet& operator=(const TimerSet&) = delete;

    // Loop, before anything is scheduled.
    void start(uv_loop_s* events);
    // Any thread. The callback runs on the loop after intervalMs (0: on the
    // loop's next pass), and again every intervalMs while it returns true.
    // Null when the loop no longer runs commands.
    void* add(Callback callback, unsigned int intervalMs);
    // Any thread; harmless on a timer that has run or was removed.
    void remove(void* handle);
    // Any thread: timers scheduled and not yet done, for tests and counters.
    std::size_t live() const { return live_.load(std::memory_order_relaxed); }
    // Loop, at shutdown: drops every timer before the libwebsockets context
    // goes, so that none fires into it.
    void clear();

private:
    using Schedule = std::multimap<std::uint64_t, std::uint64_t>; // due (loop ms) -> id

    static void onWake(uv_timer_s* wake);
    void schedule(Timer* timer, unsigned int delayMs);
    void rearm();
    void runDue();
    void fire(Timer* timer);
    void cancel(std::uint64_t id);

    LoopCore& loop_;
    uv_loop_s* events_ = nullptr;                                      // loop
    uv_timer_s* wake_ = nullptr;                                       // loop; freed by its close
    std::atomic<std::uint64_t> nextId_{1};
    std::unordered_map<std::uint64_t, std::unique_ptr<Timer>> timers_; // loop
    std::atomic<std::size_t> live_{0};                                 // timers_.size()
    Schedule schedule_;                                                // loop
    std::uint64_t firing_ = 0;                                         // loop
};

} // namespace quorvex::transport::detail

#endif
