#include "timer_set.h"

#include <algorithm>
#include <cstring>

#include "event_loop.h"
#include "guarded.h"
#include "loop_thread.h"

namespace quorvex::transport::detail {

namespace {

void* handleOf(std::uint64_t id) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)); }
std::uint64_t idOf(void* handle) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle)); }
lws_usec_t micros(unsigned int ms) { return static_cast<lws_usec_t>(ms) * LWS_US_PER_MS; }

} // namespace

// Standard layout, so that lws_container_of may find it from its list node.
struct TimerNode {
    lws_sorted_usec_list_t sul;
    Timer* timer;
};

struct Timer {
    TimerNode node;
    TimerSet* set = nullptr;
    std::uint64_t id = 0;
    TimerSet::Callback callback;
    unsigned int intervalMs = 0;
    bool cancelled = false;

    Timer() {
        std::memset(&node, 0, sizeof node);
        node.timer = this;
    }
};

TimerSet::TimerSet(EventLoop& loop) : loop_(loop) {}

TimerSet::~TimerSet() = default;

void* TimerSet::add(Callback callback, unsigned int intervalMs) {
    std::uint64_t id = nextId_++;
    bool posted = loop_.post([this, id, intervalMs, callback = std::move(callback)]() mutable {
        auto timer = std::make_unique<Timer>();
        timer->set = this;
        timer->id = id;
        timer->callback = std::move(callback);
        timer->intervalMs = intervalMs;
        Timer* armed = timer.get();
        timers_.emplace(id, std::move(timer));
        arm(armed);
    });
    return posted ? handleOf(id) : nullptr;
}

void TimerSet::remove(void* handle) {
    if (!handle) return;
    std::uint64_t id = idOf(handle);
    if (loop_.onLoopThread()) {
        cancel(id);
        return;
    }
    loop_.post([this, id] { cancel(id); });
}

void TimerSet::clear() {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    timers_.clear();
}

void TimerSet::arm(Timer* timer) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!loop_.lwsContext()) {
        timers_.erase(timer->id);
        return;
    }
    if (timer->intervalMs == 0) {
        fire(timer); // already on the loop's next pass
        return;
    }
    lws_sul_schedule(loop_.lwsContext(), 0, &timer->node.sul, &TimerSet::onDue, micros(timer->intervalMs));
}

void TimerSet::onDue(lws_sorted_usec_list_t* sul) {
    Timer* timer = lws_container_of(sul, TimerNode, sul)->timer;
    timer->set->fire(timer);
}

void TimerSet::fire(Timer* timer) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    std::uint64_t id = timer->id;
    bool again = false;
    firing_ = id;
    guarded("timer callback", [&] { again = timer->callback(handleOf(id)); });
    firing_ = 0;
    if (again && !timer->cancelled && loop_.lwsContext()) {
        lws_sul_schedule(loop_.lwsContext(), 0, &timer->node.sul, &TimerSet::onDue,
                         micros(std::max(1u, timer->intervalMs)));
        return;
    }
    timers_.erase(id);
}

void TimerSet::cancel(std::uint64_t id) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    auto found = timers_.find(id);
    if (found == timers_.end()) return;
    if (id == firing_) { // erased by fire() once its callback returns
        found->second->cancelled = true;
        return;
    }
    lws_sul_cancel(&found->second->node.sul);
    timers_.erase(found);
}

} // namespace quorvex::transport::detail
