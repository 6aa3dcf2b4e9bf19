// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_PLATFORM_EVENT_SIGNAL_H
#define QUORVEX_PLATFORM_EVENT_SIGNAL_H

#if defined(_WIN32)
#  include <mutex>
#endif

namespace quorvex::platform {

// A counter that another thread may wait on, and an application may poll
// through its descriptor: readable while the count is above zero. Raising
// never waits. Linux: an eventfd in semaphore mode. Windows: a manual-reset
// event, signalled while the count is above zero, whose handle is the
// descriptor (handles fit in 32 bits: Windows keeps them so for 32-bit
// programs); an application waits on it with WaitForSingleObject, which does
// not take from the count, as poll() does not on Linux.
class EventSignal {
public:
    EventSignal();
    ~EventSignal();
    EventSignal(const EventSignal&) = delete;
    EventSignal& operator=(const EventSignal&) = delete;

    bool valid() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }
    // Any thread: adds one to the count.
    void raise();
    // Takes one from the count, waiting up to timeoutMs (0: not at all) for
    // it to be above zero; whether it took one.
    bool take(int timeoutMs);

private:
    int fd_ = -1;
#if defined(_WIN32)
    std::mutex lock_; // the count and the event's state change together
    unsigned long count_ = 0;
#endif
};

} // namespace quorvex::platform

#endif
