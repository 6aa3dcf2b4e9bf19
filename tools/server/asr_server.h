// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_ASR_SERVER_H
#define QUORVEX_TOOLS_SERVER_ASR_SERVER_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "engine.h"
#include "metrics.h"
#include "options.h"

class CWSSContext;

namespace quorvex::server {

// The reference recognition server: WebSocket sessions on options.path,
// GET /healthz and GET /metrics on the same port. Recognition runs on a
// worker pool, never on the event loop. Every limit of ServerOptions is
// enforced with a defined answer, a count in /metrics and a log line.
class AsrServer {
public:
    AsrServer(ServerOptions options, std::shared_ptr<Engine> engine);
    ~AsrServer(); // closes at once; shutdown() first for a graceful end
    AsrServer(const AsrServer&) = delete;
    AsrServer& operator=(const AsrServer&) = delete;

    bool start(std::string& error);
    int port() const;
    std::string url() const;
    const Metrics& metrics() const { return metrics_; }
    const ServerOptions& limits() const; // as resolved: maxSessions and workers filled in

    // Any thread. Graceful shutdown, step by step: /healthz answers 503 and
    // nothing new is accepted; connections without a running session close;
    // running sessions get until the drain deadline; then every connection is
    // closed (a running session hears EXCEPTION_NTF 503 first) and given the
    // close grace to finish. True when every session ended on its own.
    void beginDrain();
    bool shutdown();
    bool draining() const;

    struct Shared; // what the connections see

private:
    void housekeeping();
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) const;

    Metrics metrics_;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<CWSSContext> context_;
};

} // namespace quorvex::server

#endif
