// SPDX-License-Identifier: Apache-2.0
#include "platform/event_signal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace quorvex::platform {

// Semaphore mode: each read takes one, so the count is the number of
// events waiting and the descriptor is readable exactly while there are some.
EventSignal::EventSignal() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC | EFD_SEMAPHORE)) {}

EventSignal::~EventSignal() {
    if (fd_ >= 0) close(fd_);
}

void EventSignal::raise() {
    std::uint64_t one = 1;
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool EventSignal::take(int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::uint64_t value = 0;
        if (read(fd_, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) return true;
        if (errno == EINTR) continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd ready{fd_, POLLIN, 0};
        // Another reader may take what woke this one: read again, until the deadline.
        if (poll(&ready, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    }
}

} // namespace quorvex::platform
