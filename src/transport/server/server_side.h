// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_SERVER_SERVER_SIDE_H
#define QUORVEX_TRANSPORT_SERVER_SERVER_SIDE_H

#include <libwebsockets.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>

#include "transport/wss_limits.h"

class CWSSConn;
struct tagWSSvrConfig;

namespace quorvex::transport::detail {

class Connections;
class LoopCore;
struct ConnLink;

// The listening side of a context: the vhost, accepted WebSocket upgrades
// and plain HTTP requests, each connection made by the application's factory
// from its request path and owned by the loop. Loop thread only unless marked.
class ServerSide {
public:
    using ConnFactory = std::function<CWSSConn*(const std::string& path)>;

    ServerSide(LoopCore& loop, Connections& connections) : loop_(loop), connections_(connections) {}

    // Before the loop starts.
    void setFactory(ConnFactory factory) { factory_ = std::move(factory); }
    void setLimits(const tagWSSLimits& limits);
    bool listening() const { return static_cast<bool>(factory_); }
    bool listen(const tagWSSvrConfig& config, lws_context_creation_info& info);
    int port() const { return port_.load(); } // any thread
    // Loop: the factory is being asked for a WebSocket upgrade, not plain HTTP.
    bool upgrading() const { return upgrading_; }
    // Loop, from the factory while upgrading: the refusal it is about to return
    // is answered with this status, and Retry-After when retryAfterSeconds > 0,
    // instead of 404 (a server shutting down: 503, so that a proxy retries elsewhere).
    void answerRefusalWith(unsigned int status, unsigned int retryAfterSeconds);

    // The connection cap: a socket just accepted is admitted or closed at
    // once; admitted ones are counted until their wsi is destroyed.
    bool admit();
    // At shutdown: new sockets, upgrades and requests are turned away from
    // here on, and accepted sockets that no connection has claimed yet close.
    void stopAccepting() { stopping_ = true; }
    void closeUnclaimed();
    void onAccepted(lws* wsi);
    void onDestroyed(lws* wsi);
    std::uint64_t refused() const { return refused_.load(); } // any thread

    int acceptUpgrade(lws* wsi);
    int onHttpRequest(lws* wsi, void* user, const char* uri, std::size_t len);
    int onHttpBody(ConnLink* link, const void* in, std::size_t len);
    int onHttpBodyDone(ConnLink* link);
    int onHttpWritable(ConnLink* link);
    void onHttpClosed(ConnLink* link);

private:
    CWSSConn* make(const std::string& path);
    int answer(lws* wsi, ConnLink* link, bool handled);
    int statusOnly(lws* wsi, unsigned int status);
    void refuseUpgrade(lws* wsi);
    void reportRefusals();

    LoopCore& loop_;
    Connections& connections_;
    ConnFactory factory_;
    tagWSSLimits limits_;
    bool upgrading_ = false;
    bool stopping_ = false;
    unsigned int refusalStatus_ = HTTP_STATUS_NOT_FOUND; // for the upgrade being asked for
    unsigned int retryAfterSeconds_ = 0;
    std::atomic<int> port_{0};
    std::unordered_set<lws*> accepted_;
    std::atomic<std::uint64_t> refused_{0};
    std::uint64_t reported_ = 0;      // refusals already in a log line
    std::uint64_t lastReportMs_ = 0;  // a flood is reported once a second, not once a socket
};

} // namespace quorvex::transport::detail

#endif
