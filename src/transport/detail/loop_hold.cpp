#include "loop_hold.h"

#include <poll.h>
#include <uv.h>

namespace quorvex::transport::detail {

namespace {

// The hold this thread has taken, for the loop-thread checks.
thread_local const LoopHold* takenByThisThread = nullptr;

// The queue below is read from libuv's loop structure as uv/unix.h of 1.44
// lays it out; another version must be checked before it is allowed here.
static_assert(UV_VERSION_MAJOR == 1 && UV_VERSION_MINOR <= 44,
              "check LoopHold::watcherChangesPending against this libuv's loop structure");

} // namespace

// libuv applies watcher changes (a socket now wanted writable, a new
// socket) at the start of its next poll. A wait on its descriptor before
// that would not see what they ask for, so the loop must pass once more
// first. libuv keeps them queued in its loop structure (uv/unix.h).
bool LoopHold::watcherChangesPending(const uv_loop_s* events) {
    return events->watcher_queue[0] != static_cast<const void*>(&events->watcher_queue[0]);
}

LoopHold::Taken::~Taken() {
    if (!hold_) return;
    takenByThisThread = nullptr;
    {
        std::lock_guard<std::mutex> guard(hold_->lock_);
        hold_->taken_ = false;
    }
    hold_->changed_.notify_all();
}

void LoopHold::acquire() {
    std::lock_guard<std::mutex> guard(lock_);
    waiting_ = false;
}

void LoopHold::waitForEvents(uv_loop_s* events) {
    if (watcherChangesPending(events)) return;
    pollfd backend{uv_backend_fd(events), POLLIN, 0};
    uv_update_time(events); // the pass's callbacks ran after libuv last read the clock
    int timeoutMs = uv_backend_timeout(events);
    {
        std::lock_guard<std::mutex> guard(lock_);
        waiting_ = true;
    }
    changed_.notify_all();
    ::poll(&backend, 1, timeoutMs);
    std::unique_lock<std::mutex> guard(lock_);
    waiting_ = false; // no new stand-ins: however many threads write, the loop gets its turn
    changed_.wait(guard, [this] { return !taken_; });
}

void LoopHold::release() {
    std::lock_guard<std::mutex> guard(lock_);
    waiting_ = false;
}

LoopHold::Taken LoopHold::tryTake() {
    // A pass of the loop is short when it writes nothing for others: waiting
    // for its end beats handing it the write, which would lengthen its passes
    // until nobody can stand in for it any more.
    constexpr auto kWaitForThePass = std::chrono::milliseconds(1);
    if (takenByThisThread == this) return Taken();
    std::unique_lock<std::mutex> guard(lock_);
    auto free = [this] { return waiting_ && !taken_; };
    if (!free() && !changed_.wait_for(guard, kWaitForThePass, free)) return Taken(); // no clock read when free
    taken_ = true;
    takenByThisThread = this;
    standIns_.fetch_add(1, std::memory_order_relaxed);
    return Taken(this);
}

bool LoopHold::takenHere() const { return takenByThisThread == this; }

} // namespace quorvex::transport::detail
