// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_SERVER_SHARED_H
#define QUORVEX_TOOLS_SERVER_SERVER_SHARED_H

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>

#include "asr_server.h"
#include "server_log.h"
#include "token_guard.h"
#include "worker_pool.h"

class CWSSContext;

namespace quorvex::server {

class SessionConn;
class StatusConn;

// What the server's connections, its recognition work and its housekeeping
// share. Outlives all of them: the server stops the loop, then the workers.
struct AsrServer::Shared {
    Shared(ServerOptions limits, std::shared_ptr<Engine> recogniserEngine, Metrics& serverMetrics);

    const ServerOptions options; // maxSessions and workers resolved
    const std::shared_ptr<Engine> engine;
    Metrics& metrics;
    std::unique_ptr<WorkerPool> pool;
    CWSSContext* context = nullptr; // set before the loop starts
    RateLimitedLog log;
    std::atomic<bool> draining{false};

    // Loop thread only.
    TokenGuard tokens;
    std::set<SessionConn*> sessionConns; // WebSockets on the session path, open
    std::set<StatusConn*> statusConns;   // HTTP connections on the status paths
    std::chrono::steady_clock::time_point lastRecogniserCheck{};

    // Frees idle recognisers off the loop; one such task at a time.
    std::shared_ptr<WorkerPool::Strand> maintenance;
    std::atomic<bool> maintenancePending{false};

    // Any thread: fn runs on the loop thread soon; false once the loop has stopped.
    bool onLoop(std::function<void()> fn);

    // Session slots: one per running session, each good for one recogniser.
    bool takeSlot();
    void giveSlot();

    std::size_t backlogLimitBytes() const { return std::size_t(options.maxBacklogMs) * 32; } // 16-bit, 16 kHz
    std::string newSessionId();

private:
    std::mutex idLock_; // guards ids_
    std::mt19937_64 ids_{std::random_device{}()};
};

} // namespace quorvex::server

#endif
