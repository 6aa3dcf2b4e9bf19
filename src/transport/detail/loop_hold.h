#ifndef QUORVEX_TRANSPORT_DETAIL_LOOP_HOLD_H
#define QUORVEX_TRANSPORT_DETAIL_LOOP_HOLD_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

struct uv_loop_s;

namespace quorvex::transport::detail {

// The right to touch the loop's state (libwebsockets, libuv, the connection
// records). The loop thread has it except while it waits for events; then
// another thread may take it, by trying and never by waiting, to do the
// loop's work itself: an application thread writes its audio to the socket
// at once, instead of posting a command and waking the loop to write it.
class LoopHold {
public:
    // A taken hold; empty when it could not be taken. Releases on destruction.
    class Taken {
    public:
        Taken() = default;
        explicit Taken(LoopHold* hold) : hold_(hold) {}
        Taken(Taken&& other) noexcept : hold_(other.hold_) { other.hold_ = nullptr; }
        Taken& operator=(Taken&&) = delete;
        ~Taken();
        explicit operator bool() const { return hold_ != nullptr; }

    private:
        LoopHold* hold_ = nullptr;
    };

    // Loop thread: takes the hold for good before the loop starts.
    void acquire();
    // Loop thread: lets the hold go while it waits for an event or the next
    // timer of the loop, and comes back with it. Returns at once while libuv
    // still has watcher changes to apply, which its next pass does.
    void waitForEvents(uv_loop_s* events);
    // Loop thread, as it ends: nobody may take the hold any more.
    void release();

    // Any other thread. Taken only while the loop waits for events.
    Taken tryTake();
    // Whether this thread has the hold (the loop thread tests itself apart).
    bool takenHere() const;
    std::uint64_t standIns() const { return standIns_.load(std::memory_order_relaxed); }

    // Whether libuv holds watcher changes that its next pass applies.
    static bool watcherChangesPending(const uv_loop_s* events);

private:
    // The hold is a flag under a short lock rather than a lock held across
    // the loop's passes: a waiting thread needs a deadline, and the sanitizer
    // follows condition variables where it does not follow timed locks.
    std::mutex lock_;
    std::condition_variable changed_;
    bool waiting_ = false; // the loop waits for events, and may be stood in for
    bool taken_ = false;   // a thread stands in for it
    std::atomic<std::uint64_t> standIns_{0};
};

} // namespace quorvex::transport::detail

#endif
