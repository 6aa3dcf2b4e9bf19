// SPDX-License-Identifier: Apache-2.0
#include "capi/event_queue.h"

#include <climits>
#include <utility>

#include "quorvex/quorvex_c.h"

namespace quorvex::capi {

void EventQueue::push(OwnedEvent event, bool droppable) {
    int added = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::size_t room = droppable ? capacity_ : capacity_ + kReserve;
        if (events_.size() >= room) {
            ++lost_;
            return;
        }
        if (lost_ > 0) {
            OwnedEvent lost;
            lost.type = QV_EVENT_LOST;
            lost.code = lost_ > INT_MAX ? INT_MAX : static_cast<int>(lost_);
            events_.push_back(std::move(lost));
            lost_ = 0;
            ++added;
        }
        events_.push_back(std::move(event));
        ++added;
    }
    while (added-- > 0) signal_.raise();
}

int EventQueue::take(int timeoutMs, OwnedEvent& event) {
    if (!signal_.take(timeoutMs)) return 0;
    std::lock_guard<std::mutex> guard(lock_);
    // Raised after the push: an event counted is an event queued.
    event = std::move(events_.front());
    events_.pop_front();
    return 1;
}

} // namespace quorvex::capi
