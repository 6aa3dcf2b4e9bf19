// SPDX-License-Identifier: Apache-2.0
#include "asr_server.h"

#include <libwebsockets.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "server_shared.h"
#include "session_conn.h"
#include "status_conn.h"
#include "transport/transport_control.h"
#include "transport/wss_config.h"
#include "transport/wss_context.h"

namespace quorvex::server {

namespace {

using std::chrono::milliseconds;

// What a refused upgrade suggests while draining: long enough for a load
// balancer's health checks to take this server out.
constexpr unsigned int kDrainingRetryAfterSeconds = 5;

// Connections the open file limit leaves room for (read after main raised it).
unsigned int connectionRoom() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1000000;
    rlim_t soft = std::min<rlim_t>(limit.rlim_cur, 1000000);
    return static_cast<unsigned int>(soft > 2 * kReservedDescriptors ? soft - kReservedDescriptors
                                                                        : std::max<rlim_t>(1, soft / 2));
}

ServerOptions resolved(ServerOptions limits, const Engine& engine) {
    if (limits.workers == 0) limits.workers = std::max(1u, std::thread::hardware_concurrency());
    if (limits.maxSessions == 0) limits.maxSessions = engine.suggestedSessions(limits.workers);
    unsigned int descriptors = connectionRoom();
    if (limits.maxConnections == 0 || limits.maxConnections > descriptors) limits.maxConnections = descriptors;
    return limits;
}

// Often enough that every deadline is met within a quarter of itself, and a
// request body over its limit is cut off within 50 ms.
unsigned int tickMs(const ServerOptions& limits) {
    unsigned int shortest = std::min({limits.startTimeoutMs, limits.idleTimeoutMs, limits.closeGraceMs});
    if (limits.recogniserIdleMs > 0) shortest = std::min(shortest, limits.recogniserIdleMs);
    return std::clamp(shortest / 4, 5u, 50u);
}

// Why the address cannot be bound, asked of the system again after
// libwebsockets failed, whose own line gives only the number.
std::string bindProblem(const std::string& bind, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (int problem = getaddrinfo(bind.empty() ? nullptr : bind.c_str(), service.c_str(), &hints, &found); problem != 0)
        return std::string("no such address (") + gai_strerror(problem) + ")";
    int problem = 0;
    for (addrinfo* address = found; address && problem == 0; address = address->ai_next) {
        int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0) continue;
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, address->ai_addr, address->ai_addrlen) != 0) problem = errno;
        ::close(fd);
    }
    freeaddrinfo(found);
    switch (problem) {
    case EADDRINUSE: return "address already in use (is another server on that port?)";
    case EACCES: return "permission denied (ports below 1024 need root or CAP_NET_BIND_SERVICE)";
    case EADDRNOTAVAIL: return "no such address on this machine";
    case 0: return "the listening socket could not be set up";
    default: return std::strerror(problem);
    }
}

} // namespace

AsrServer::Shared::Shared(ServerOptions limits, std::shared_ptr<Engine> recogniserEngine, Metrics& serverMetrics)
    : options(resolved(std::move(limits), *recogniserEngine)), engine(std::move(recogniserEngine)),
      metrics(serverMetrics), pool(std::make_unique<WorkerPool>(options.workers)),
      tokens(options.token, options.maxFailedTokens, milliseconds(options.failedTokenWindowMs)),
      maintenance(pool->makeStrand()) {}

bool AsrServer::Shared::onLoop(std::function<void()> fn) {
    return context && context->addTimer(
                          [fn = std::move(fn)](void*) {
                              fn();
                              return false;
                          },
                          0) != nullptr;
}

bool AsrServer::Shared::takeSlot() {
    auto used = metrics.sessionSlotsUsed.load();
    do {
        if (used >= static_cast<std::int64_t>(options.maxSessions)) return false;
    } while (!metrics.sessionSlotsUsed.compare_exchange_weak(used, used + 1));
    metrics.announce();
    return true;
}

void AsrServer::Shared::giveSlot() {
    --metrics.sessionSlotsUsed;
    metrics.announce();
}

std::string AsrServer::Shared::newSessionId() {
    std::lock_guard<std::mutex> guard(idLock_);
    char text[40];
    std::snprintf(text, sizeof text, "%016llx%08llx", static_cast<unsigned long long>(ids_()),
                  static_cast<unsigned long long>(ids_() & 0xffffffffu));
    return text;
}

AsrServer::AsrServer(ServerOptions options, std::shared_ptr<Engine> engine)
    : shared_(std::make_shared<Shared>(std::move(options), std::move(engine), metrics_)) {}

AsrServer::~AsrServer() {
    if (context_) context_->stop(); // every session hears its close first, and drops its work
    shared_->pool.reset();          // runs what is left: releases of recognisers and slots
    shared_->context = nullptr;
    context_.reset();
}

bool AsrServer::start(std::string& error) {
    tagWSSvrConfig config;
    config.listenPort = shared_->options.port;
    std::snprintf(config.bindInterface, sizeof config.bindInterface, "%s", shared_->options.bind.c_str());
    std::snprintf(config.moduleName, sizeof config.moduleName, "quorvex-server");
    // Text frames that are not UTF-8 end the connection with 1007, as RFC 6455 asks.
    config.lwsOptions |= static_cast<std::int32_t>(LWS_SERVER_OPTION_VALIDATE_UTF8);
    context_ = std::make_unique<CWSSContext>();
    Shared& shared = *shared_;
    shared.context = context_.get();
    tagWSSLimits limits;
    // One cap for every incoming message, before it is delivered (1009 beyond
    // it); control messages are checked against their own, smaller one after.
    limits.maxMessageBytes = std::max(shared.options.maxMessageBytes, shared.options.maxFrameBytes);
    limits.sendQueueBytes = shared.options.maxSendQueueBytes;
    limits.maxBodyBytes = shared.options.maxPostBytes;
    limits.maxConnections = shared.options.maxConnections;
    limits.pingAfterSeconds = static_cast<unsigned short>(shared.options.pingAfterSeconds);
    limits.hangUpAfterSeconds = static_cast<unsigned short>(shared.options.hangUpAfterSeconds);
    auto factory = [&shared](const std::string& path) -> CWSSConn* {
        if (path == shared.options.path) {
            if (!shared.draining) return new SessionConn(shared);
            shared.metrics.refused(Refusal::Draining);
            // 503, not 404: a proxy (see deploy/haproxy) retries it on another server.
            quorvex::transport::refuseUpgradeWith(*shared.context, 503, kDrainingRetryAfterSeconds);
            return nullptr;
        }
        bool upgrade = quorvex::transport::acceptingUpgrade(*shared.context);
        if (!upgrade && (path == "/healthz" || path == "/metrics")) return new StatusConn(shared);
        if (upgrade) shared.metrics.refused(Refusal::WrongPath);
        return nullptr; // 404 (a WebSocket only on the session path)
    };
    if (!context_->startServer(config, factory, 4096, 4096, limits)) {
        error = "cannot listen on " + shared_->options.bind + ":" + std::to_string(shared_->options.port) + ": " +
                bindProblem(shared_->options.bind, shared_->options.port);
        shared.context = nullptr;
        context_.reset();
        return false;
    }
    context_->addTimer(
        [this](void*) {
            housekeeping();
            return true;
        },
        tickMs(shared_->options));
    return true;
}

// Loop thread, every tick.
void AsrServer::housekeeping() {
    Shared& shared = *shared_;
    auto now = std::chrono::steady_clock::now();
    std::vector<SessionConn*> sessions(shared.sessionConns.begin(), shared.sessionConns.end());
    for (SessionConn* conn : sessions) conn->checkDeadlines(now);

    milliseconds idleFor(shared.options.recogniserIdleMs);
    if (now - shared.lastRecogniserCheck < idleFor / 4 || shared.maintenancePending.exchange(true)) return;
    shared.lastRecogniserCheck = now;
    shared.maintenance->post([&shared, idleFor] {
        shared.engine->releaseIdle(idleFor);
        shared.metrics.recognisersLoaded = static_cast<std::int64_t>(shared.engine->loaded());
        shared.metrics.announce();
        shared.maintenancePending = false;
    });
}

int AsrServer::port() const { return context_ ? context_->listenPort() : 0; }

std::string AsrServer::url() const {
    const std::string& host = shared_->options.bind;
    bool v6 = host.find(':') != std::string::npos;
    return "ws://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port()) + shared_->options.path;
}

const ServerOptions& AsrServer::limits() const { return shared_->options; }

bool AsrServer::draining() const { return shared_->draining; }

void AsrServer::beginDrain() {
    if (shared_->draining.exchange(true)) return;
    metrics_.announce();
    logLine("draining: /healthz answers 503, new sessions refused, %lld session(s) get %u ms to finish",
            static_cast<long long>(metrics_.sessionsOpen.load()), shared_->options.drainTimeoutMs);
    Shared& shared = *shared_;
    shared.onLoop([&shared] {
        std::vector<SessionConn*> all(shared.sessionConns.begin(), shared.sessionConns.end());
        for (SessionConn* conn : all) conn->closeForShutdown(false);
    });
}

bool AsrServer::shutdown() {
    beginDrain();
    bool finished = waitUntil([this] { return metrics_.sessionSlotsUsed == 0 && metrics_.sessionsOpen == 0; },
                              milliseconds(shared_->options.drainTimeoutMs));
    if (!finished)
        logLine("drain deadline passed: closing %lld running session(s)",
                static_cast<long long>(metrics_.sessionsOpen.load()));
    Shared& shared = *shared_;
    shared.onLoop([&shared] {
        std::vector<SessionConn*> all(shared.sessionConns.begin(), shared.sessionConns.end());
        for (SessionConn* conn : all) conn->closeForShutdown(true);
    });
    // A peer that does not take its close frame is dropped after the grace time.
    milliseconds grace(shared_->options.closeGraceMs + 2 * tickMs(shared_->options));
    waitUntil([this] { return metrics_.connectionsOpen == 0; }, grace);
    if (context_) context_->stop();
    logLine("stopped: %lld session(s) in all", static_cast<long long>(metrics_.sessionsTotal.load()));
    return finished;
}

bool AsrServer::waitUntil(const std::function<bool()>& condition, milliseconds deadline) const {
    return metrics_.waitUntil(condition, deadline);
}

} // namespace quorvex::server
