// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_HAND_OFF_PAUSE_H
#define QUORVEX_TESTS_SUPPORT_HAND_OFF_PAUSE_H

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "transport/conn/hand_off.h"
#include "transport/transport_control.h"
#include "wait.h"

namespace quorvex::test {

// A writer stopped in the middle of its hand-off, made deterministic: on a
// thread of its own it takes the steps a write takes up to the last one
// (its place under the send queue's cap, a buffer, the copy), then stops
// until released, then queues the message and lists the connection for
// the loop. connection: the send queue's connection it writes for (0: any).
class HandOffPause {
public:
    HandOffPause(CWSSConn& conn, std::string payload, bool binary, std::uint64_t connection = 0)
        : writer_([this, &conn, payload = std::move(payload), binary, connection] {
              namespace detail = transport::detail;
              auto claim = detail::claimHandOff(conn, payload.size(), binary, connection);
              if (claim.message && !payload.empty())
                  std::memcpy(claim.message->payload(), payload.data(), payload.size());
              signal_.update([&] { paused_ = true; });
              signal_.waitUntil([&] { return released_; }, std::chrono::milliseconds(30000));
              detail::commitHandOff(conn, std::move(claim));
          }) {}
    HandOffPause(const HandOffPause&) = delete;
    HandOffPause& operator=(const HandOffPause&) = delete;
    ~HandOffPause() { release(); }

    bool waitPaused() { return signal_.waitUntil([&] { return paused_; }); }
    // Lets the writer finish and waits for it; whether it was still stopped.
    bool release() {
        bool wasStopped = false;
        signal_.update([&] {
            wasStopped = paused_ && !released_;
            released_ = true;
        });
        if (writer_.joinable()) writer_.join();
        return wasStopped;
    }

private:
    Signal signal_;
    bool paused_ = false;   // guarded by signal_
    bool released_ = false; // guarded by signal_
    std::thread writer_;    // last: it starts once the rest exists
};

} // namespace quorvex::test

#endif
