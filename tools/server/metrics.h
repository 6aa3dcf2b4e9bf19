// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_METRICS_H
#define QUORVEX_TOOLS_SERVER_METRICS_H

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "options.h"

namespace quorvex::server {

// Why a request or a session was refused; one counter each.
enum class Refusal {
    Busy,            // every session slot taken
    Draining,        // the server is shutting down
    BadToken,
    TokenLockout,    // too many wrong tokens from the address
    MessageTooLarge,
    BadJson,         // not one JSON object, trailing bytes, wrong service type
    JsonTooDeep,
    UnknownType,
    WrongState,      // a request the session state does not allow
    FrameTooLarge,
    BadFrame,        // audio that is not 16-bit PCM
    Backlog,
    WrongPath,       // a WebSocket on a path other than the session path
    PostTooLarge,
    ConnectionLimit, // closed as soon as accepted: every connection slot taken
    Count
};

// Why a WebSocket connection ended; one counter each.
enum class CloseReason {
    Peer,          // the client closed or went away
    StartTimeout,
    IdleTimeout,
    CloseTimeout,  // did not finish closing within the grace time
    BadToken,
    TokenLockout,
    TooLarge,
    Backlog,
    Busy,
    Shutdown,
    WrongPath,
    RecogniserFailed,
    NotReading,    // its send queue passed the cap
    PeerSilent,    // answered no ping within the hang-up time
    Count
};

const char* refusalName(Refusal reason);
const char* closeReasonName(CloseReason reason);

// Server counters. Counts are exact: a text is counted when it is written to
// an open connection, a refusal when it is answered.
struct Metrics {
    std::atomic<std::int64_t> sessionsOpen{0};     // started and not yet stopped or closed
    std::atomic<std::int64_t> sessionsTotal{0};
    std::atomic<std::int64_t> sessionSlotsUsed{0}; // sessions holding a recogniser slot
    std::atomic<std::int64_t> connectionsOpen{0};  // WebSocket connections on the session path
    std::atomic<std::int64_t> recognisersLoaded{0};
    std::atomic<std::int64_t> audioBytes{0};
    std::atomic<std::int64_t> audioFrames{0};
    std::atomic<std::int64_t> textsSent{0};
    std::atomic<std::int64_t> readingPauses{0}; // a session's backlog filled: its connection not read for a while
    std::array<std::atomic<std::int64_t>, static_cast<std::size_t>(Refusal::Count)> refusals{};
    std::array<std::atomic<std::int64_t>, static_cast<std::size_t>(CloseReason::Count)> closes{};

    void refused(Refusal reason);
    void closed(CloseReason reason);
    std::int64_t refusalCount(Refusal reason) const;
    std::int64_t closeCount(CloseReason reason) const;

    // Sessions, slots, connections, refusals and closes change rarely: their
    // changes are announced, so a caller can wait for one with a deadline.
    void announce();
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) const;

    // Prometheus text format, with a gauge for every limit in force.
    std::string render(const ServerOptions& limits, bool draining) const;

private:
    mutable std::mutex lock_; // pairs with changed_; guards no data
    mutable std::condition_variable changed_;
};

} // namespace quorvex::server

#endif
