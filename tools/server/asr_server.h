#ifndef QUORVEX_TOOLS_SERVER_ASR_SERVER_H
#define QUORVEX_TOOLS_SERVER_ASR_SERVER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine.h"

class CWSSContext;

namespace quorvex::server {

class WorkerPool;

struct ServerOptions {
    std::string bind = "127.0.0.1";
    int port = 0;            // 0: an ephemeral port, see AsrServer::port()
    std::string token;       // empty: any token is accepted
    std::string path = "/asr";
    unsigned int workers = 0; // recognition threads; 0: one per core
};

struct Metrics {
    std::atomic<std::int64_t> sessionsOpen{0};
    std::atomic<std::int64_t> sessionsTotal{0};
    std::atomic<std::int64_t> audioBytes{0};
    std::atomic<std::int64_t> audioFrames{0};
    std::atomic<std::int64_t> textsSent{0};
    std::string render() const; // Prometheus text format
};

// The reference recognition server: WebSocket sessions on options.path,
// GET /healthz and GET /metrics on the same port. Recognition runs on a
// worker pool, never on the event loop.
class AsrServer {
public:
    AsrServer(ServerOptions options, std::shared_ptr<Engine> engine);
    ~AsrServer();
    AsrServer(const AsrServer&) = delete;
    AsrServer& operator=(const AsrServer&) = delete;

    bool start(std::string& error);
    int port() const;
    std::string url() const;
    const Metrics& metrics() const { return metrics_; }

    struct Shared; // what the connections see

private:
    Metrics metrics_;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<CWSSContext> context_;
};

} // namespace quorvex::server

#endif
