// SPDX-License-Identifier: Apache-2.0
#include "sdk/runtime_gate.h"

#include <thread>

namespace QUORVEX {

RuntimeGate entryGate;
RuntimeGate logGate;

bool RuntimeGate::drain(std::chrono::milliseconds deadline) {
    auto until = std::chrono::steady_clock::now() + deadline;
    // Callers inside leave within instructions, except a destruction that
    // waits for its loop: a short sleep between looks costs it nothing.
    for (int look = 0; users_.load() != 0; ++look) {
        if (std::chrono::steady_clock::now() >= until) return false;
        if (look < 64) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    return true;
}

} // namespace QUORVEX
