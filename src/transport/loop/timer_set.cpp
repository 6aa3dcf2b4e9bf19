// SPDX-License-Identifier: Apache-2.0
#include "transport/loop/timer_set.h"

#include <uv.h>

#include <algorithm>

#include "transport/loop/loop_core.h"
#include "transport/loop/guarded.h"
#include "transport/loop/loop_thread.h"

namespace quorvex::transport::detail {

namespace {

void* handleOf(std::uint64_t id) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)); }
std::uint64_t idOf(void* handle) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle)); }

} // namespace

struct Timer {
    std::uint64_t id = 0;
    TimerSet::Callback callback;
    unsigned int intervalMs = 0;
    bool cancelled = false;
    bool scheduled = false;
    std::multimap<std::uint64_t, std::uint64_t>::iterator slot;
};

TimerSet::TimerSet(LoopCore& loop) : loop_(loop) {}

TimerSet::~TimerSet() = default;

void TimerSet::start(uv_loop_s* events) {
    events_ = events;
    wake_ = new uv_timer_t;
    uv_timer_init(events_, wake_);
    wake_->data = this;
}

void* TimerSet::add(Callback callback, unsigned int intervalMs) {
    std::uint64_t id = nextId_++;
    bool posted = loop_.post([this, id, intervalMs, callback = std::move(callback)]() mutable {
        if (!wake_ || !loop_.lwsContext()) return;
        auto timer = std::make_unique<Timer>();
        timer->id = id;
        timer->callback = std::move(callback);
        timer->intervalMs = intervalMs;
        Timer* added = timer.get();
        timers_.emplace(id, std::move(timer));
        live_.store(timers_.size(), std::memory_order_relaxed);
        if (intervalMs == 0) {
            fire(added); // already on the loop's next pass
            return;
        }
        schedule(added, intervalMs);
        rearm();
    });
    return posted ? handleOf(id) : nullptr;
}

void TimerSet::remove(void* handle) {
    if (!handle) return;
    std::uint64_t id = idOf(handle);
    loop_.runHereOrPost([this, id] { cancel(id); });
}

void TimerSet::clear() {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    schedule_.clear();
    timers_.clear();
    live_.store(0, std::memory_order_relaxed);
    if (!wake_) return;
    uv_close(reinterpret_cast<uv_handle_t*>(wake_), [](uv_handle_t* handle) { delete reinterpret_cast<uv_timer_t*>(handle); });
    wake_ = nullptr;
}

void TimerSet::schedule(Timer* timer, unsigned int delayMs) {
    uv_update_time(events_); // the loop's time is that of the pass's start, which may be long
    timer->slot = schedule_.emplace(uv_now(events_) + delayMs, timer->id);
    timer->scheduled = true;
}

// One libuv timer for the earliest due: restarting it is cheap.
void TimerSet::rearm() {
    if (!wake_) return;
    if (schedule_.empty()) {
        uv_timer_stop(wake_);
        return;
    }
    std::uint64_t now = uv_now(events_);
    std::uint64_t first = schedule_.begin()->first;
    uv_timer_start(wake_, &TimerSet::onWake, first > now ? first - now : 0, 0);
}

void TimerSet::onWake(uv_timer_s* wake) { static_cast<TimerSet*>(wake->data)->runDue(); }

void TimerSet::runDue() {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    std::uint64_t now = uv_now(events_);
    bool fired = false;
    // Repeats are due at least 1 ms later, so this ends.
    while (!schedule_.empty() && schedule_.begin()->first <= now) {
        std::uint64_t id = schedule_.begin()->second;
        schedule_.erase(schedule_.begin());
        auto found = timers_.find(id);
        if (found == timers_.end()) continue;
        found->second->scheduled = false;
        fire(found->second.get());
        fired = true;
    }
    rearm();
    // Whatever a callback did to libwebsockets (a close, a connect's own
    // timeout) waits for its next event otherwise.
    if (fired) loop_.letLwsRearmItsTimers();
}

void TimerSet::fire(Timer* timer) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    std::uint64_t id = timer->id;
    bool again = false;
    firing_ = id;
    guarded("timer callback", [&] { again = timer->callback(handleOf(id)); });
    firing_ = 0;
    if (again && !timer->cancelled && loop_.lwsContext() && wake_) {
        schedule(timer, std::max(1u, timer->intervalMs));
        rearm();
        return;
    }
    timers_.erase(id);
    live_.store(timers_.size(), std::memory_order_relaxed);
}

void TimerSet::cancel(std::uint64_t id) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    auto found = timers_.find(id);
    if (found == timers_.end()) return;
    if (id == firing_) { // erased by fire() once its callback returns
        found->second->cancelled = true;
        return;
    }
    if (found->second->scheduled) schedule_.erase(found->second->slot);
    timers_.erase(found);
    live_.store(timers_.size(), std::memory_order_relaxed);
    rearm();
}

} // namespace quorvex::transport::detail
