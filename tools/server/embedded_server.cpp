// SPDX-License-Identifier: Apache-2.0
#include "embedded_server.h"

#include "asr_server.h"
#include "server_log.h"

namespace quorvex::server {

struct EmbeddedServer::Running {
    std::unique_ptr<AsrServer> server;
};

std::unique_ptr<EmbeddedServer> EmbeddedServer::start(LogSink log, std::string& error) {
    setLogSink(log ? std::move(log) : [](const std::string&) {});
    routeLibraryLog();
    auto running = std::make_unique<Running>();
    auto engine = makePocketsphinxEngine(kDefaultModelDir, error);
    if (engine) {
        // A real server's defaults: the client's flow control does the rest.
        running->server = std::make_unique<AsrServer>(ServerOptions{}, std::move(engine));
        if (running->server->start(error))
            return std::unique_ptr<EmbeddedServer>(new EmbeddedServer(std::move(running)));
    }
    running.reset();
    setLogSink(nullptr);
    return nullptr;
}

EmbeddedServer::EmbeddedServer(std::unique_ptr<Running> running) : running_(std::move(running)) {}

EmbeddedServer::~EmbeddedServer() {
    running_.reset(); // its last lines still reach the sink
    setLogSink(nullptr);
}

std::string EmbeddedServer::url() const { return running_->server->url(); }

} // namespace quorvex::server
