// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_CAPI_EVENT_QUEUE_H
#define QUORVEX_CAPI_EVENT_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "platform/event_signal.h"

namespace quorvex::capi {

// One event as the C interface hands it over, owning its text.
struct OwnedEvent {
    int type = 0;
    int code = 0;
    std::string text;
    int bg = 0, ed = 0, fin = 0;
    int category = 0, status = 0, retryAfterSeconds = 0;
    std::string previousSessionId;
    int replayedMs = 0, unreplayableMs = 0;
    bool droppable = false; // a text or a message error
};

// Events of one client waiting for the application. The loop thread pushes
// and never waits for the application: past the cap, texts and message
// errors are dropped, and a lost-event marker at the end of the queue counts
// them at once (a run of drops adds to one marker). Session events (start,
// failure, session error, stop, resumption) are always kept: they come only
// from sessions the application starts, and a start is refused while
// kSessionEventsMax of them wait. Each event queued was counted on the
// signal, so the descriptor is readable exactly while events wait.
class EventQueue {
public:
    static constexpr std::size_t kSessionEventsMax = 16;

    explicit EventQueue(std::size_t capacity) : capacity_(capacity) {}
    bool valid() const { return signal_.valid(); }
    int descriptor() const { return signal_.descriptor(); }

    // Loop thread.
    void push(OwnedEvent event);
    // Application thread: 1 and the next event, or 0 when none came in time.
    int take(int timeoutMs, OwnedEvent& event);
    // Any thread: too many session events wait for another session to start.
    bool sessionEventsBacklogged();

private:
    bool noteLost(); // true: a marker was queued

    std::size_t capacity_;
    std::mutex lock_; // guards the three below; no system call under it
    std::deque<OwnedEvent> events_;
    std::size_t droppableQueued_ = 0, sessionEventsQueued_ = 0;
    platform::EventSignal signal_;
};

} // namespace quorvex::capi

#endif
