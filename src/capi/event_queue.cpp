// SPDX-License-Identifier: Apache-2.0
#include "capi/event_queue.h"

#include <climits>
#include <utility>

#include "quorvex/quorvex_c.h"

namespace quorvex::capi {

void EventQueue::push(OwnedEvent event) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (event.droppable && droppableQueued_ >= capacity_) {
            if (!noteLost()) return;
        } else {
            ++(event.droppable ? droppableQueued_ : sessionEventsQueued_);
            events_.push_back(std::move(event));
        }
    }
    signal_.raise();
}

bool EventQueue::noteLost() {
    if (!events_.empty() && events_.back().type == QV_EVENT_LOST) {
        if (events_.back().code < INT_MAX) ++events_.back().code;
        return false;
    }
    OwnedEvent lost;
    lost.type = QV_EVENT_LOST;
    lost.code = 1;
    events_.push_back(std::move(lost));
    return true;
}

int EventQueue::take(int timeoutMs, OwnedEvent& event) {
    if (!signal_.take(timeoutMs)) return 0;
    std::lock_guard<std::mutex> guard(lock_);
    // Raised after the push: an event counted is an event queued.
    event = std::move(events_.front());
    events_.pop_front();
    if (event.type != QV_EVENT_LOST) --(event.droppable ? droppableQueued_ : sessionEventsQueued_);
    return 1;
}

bool EventQueue::sessionEventsBacklogged() {
    std::lock_guard<std::mutex> guard(lock_);
    return sessionEventsQueued_ >= kSessionEventsMax;
}

} // namespace quorvex::capi
