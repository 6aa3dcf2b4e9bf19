#ifndef QUORVEX_TRANSPORT_DETAIL_TIMER_SET_H
#define QUORVEX_TRANSPORT_DETAIL_TIMER_SET_H

#include <libwebsockets.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

namespace quorvex::transport::detail {

class EventLoop;
struct Timer;

// The timers of one loop, on libwebsockets' sorted timer list. Handles are
// plain ids, so a stale handle is harmless.
class TimerSet {
public:
    using Callback = std::function<bool(void*)>;

    explicit TimerSet(EventLoop& loop);
    ~TimerSet();
    TimerSet(const TimerSet&) = delete;
    TimerSet& operator=(const TimerSet&) = delete;

    // Any thread. The callback runs on the loop after intervalMs (0: on the
    // loop's next pass), and again every intervalMs while it returns true.
    // Null when the loop no longer runs commands.
    void* add(Callback callback, unsigned int intervalMs);
    // Any thread; harmless on a timer that has run or was removed.
    void remove(void* handle);
    // Loop: drops every timer once the libwebsockets context is gone.
    void clear();

private:
    static void onDue(lws_sorted_usec_list_t* sul);
    void arm(Timer* timer);
    void fire(Timer* timer);
    void cancel(std::uint64_t id);

    EventLoop& loop_;
    std::atomic<std::uint64_t> nextId_{1};
    std::unordered_map<std::uint64_t, std::unique_ptr<Timer>> timers_; // loop
    std::uint64_t firing_ = 0;                                         // loop
};

} // namespace quorvex::transport::detail

#endif
