// SPDX-License-Identifier: Apache-2.0
#include "platform/event_signal.h"

#include <windows.h>

#include <chrono>
#include <cstdint>

namespace quorvex::platform {

namespace {
HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd)); }
} // namespace

EventSignal::EventSignal() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event) fd_ = static_cast<int>(reinterpret_cast<std::intptr_t>(event));
}

EventSignal::~EventSignal() {
    if (fd_ >= 0) CloseHandle(handleOf(fd_));
}

void EventSignal::raise() {
    std::lock_guard<std::mutex> guard(lock_);
    if (count_++ == 0) SetEvent(handleOf(fd_));
}

bool EventSignal::take(int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (count_ > 0) {
                if (--count_ == 0) ResetEvent(handleOf(fd_));
                return true;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        // Another taker may take what woke this one: look again, until the deadline.
        if (WaitForSingleObject(handleOf(fd_), static_cast<DWORD>(left.count())) == WAIT_FAILED) return false;
    }
}

} // namespace quorvex::platform
