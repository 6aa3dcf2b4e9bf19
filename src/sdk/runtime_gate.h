// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_SDK_RUNTIME_GATE_H
#define QUORVEX_SDK_RUNTIME_GATE_H

#include <atomic>
#include <chrono>

namespace QUORVEX {

// Counts the calls inside that use part of the library-wide runtime, so that
// release frees nothing a call still uses: release closes the gate, then
// waits for those inside. Entering costs two atomic operations and never
// waits. Sequentially consistent: either release sees a caller inside, or
// the caller sees the gate closed.
class RuntimeGate {
public:
    bool enter() {
        users_.fetch_add(1);
        if (open_.load()) return true;
        users_.fetch_sub(1);
        return false;
    }
    void leave() { users_.fetch_sub(1); }
    void open() { open_.store(true); }
    void close() { open_.store(false); }
    // Waits for the callers inside, at most `deadline`; whether none is left.
    bool drain(std::chrono::milliseconds deadline);

private:
    std::atomic<bool> open_{false};
    std::atomic<int> users_{0};
};

// One call inside a gate, for its scope; false when the gate was closed.
class GateUse {
public:
    explicit GateUse(RuntimeGate& gate) : gate_(gate), inside_(gate.enter()) {}
    ~GateUse() {
        if (inside_) gate_.leave();
    }
    GateUse(const GateUse&) = delete;
    GateUse& operator=(const GateUse&) = delete;
    explicit operator bool() const { return inside_; }

private:
    RuntimeGate& gate_;
    bool inside_;
};

// Entry points that reach the loops, the shared context or the destruction
// hand-shake's mutex and condition variable.
extern RuntimeGate entryGate;
// Everything that reads the log settings and the log file: every log line,
// libwebsockets' lines from an application's own threads included.
extern RuntimeGate logGate;

} // namespace QUORVEX

#endif
