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
};

// Events of one client waiting for the application. The loop thread pushes
// and never waits for the application: past the cap, events are dropped and
// counted, and the count goes ahead of the next event that fits. Each event
// taken was counted on the signal, so the descriptor is readable exactly
// while events wait.
class EventQueue {
public:
    // Room a session's few start, failure, session-error and stop events
    // have beyond the cap, so that a flood of texts cannot crowd them out.
    static constexpr std::size_t kReserve = 16;

    explicit EventQueue(std::size_t capacity) : capacity_(capacity) {}
    bool valid() const { return signal_.valid(); }
    int descriptor() const { return signal_.descriptor(); }

    // Loop thread. droppable: a text or a message error.
    void push(OwnedEvent event, bool droppable);
    // Application thread: 1 and the next event, or 0 when none came in time.
    int take(int timeoutMs, OwnedEvent& event);

private:
    std::size_t capacity_;
    std::mutex lock_;               // guards the three below; no system call under it
    std::deque<OwnedEvent> events_;
    std::uint64_t lost_ = 0;
    platform::EventSignal signal_;
};

} // namespace quorvex::capi

#endif
