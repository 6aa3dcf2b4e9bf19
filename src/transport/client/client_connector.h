// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_CLIENT_CONNECTOR_H
#define QUORVEX_TRANSPORT_CLIENT_CLIENT_CONNECTOR_H

#include <libwebsockets.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "transport/client/client_vhosts.h"
#include "transport/client/proxy_tunnel.h"
#include "transport/client/resolver.h"
#include "transport/client/url.h"
#include "transport/conn/connect_failure.h"

class CWSSClient;

namespace quorvex::transport::detail {

class Connections;
class LoopCore;
struct ConnLink;

// Client connection attempts: name lookup off the loop, the libwebsockets
// connect, and exactly one of onEstablished / onConnectErr per attempt.
// An attempt is settled once; late news of a settled attempt is ignored.
class ClientConnector {
public:
    ClientConnector(LoopCore& loop, Connections& connections)
        : loop_(loop), connections_(connections), resolver_(loop) {}

    // Any thread. False when the loop no longer runs commands.
    bool begin(CWSSClient* client, WsUrl url);
    // Loop: the handshake of a client connection completed.
    void settleEstablished(ConnLink* link, lws* wsi);
    // Loop: libwebsockets gave up on a client connection before it opened;
    // wsi, when given, may still hold the server's answer to the upgrade.
    void settleFailure(ConnLink* link, lws* wsi, const char* why);
    // Loop, at shutdown: attempts still waiting for a name lookup fail.
    void failUnresolved();
    // Loop, in the client's onConnectErr: why its attempt failed.
    ConnectFailure failureOf(const CWSSConn* conn) const;
    // Loop: the connection no longer uses its vhost.
    void releaseVhost(const ConnLink* link);
    // Loop, at shutdown: pending lookups are dropped.
    void stopLookups() { resolver_.stop(); }
    // Loop, at shutdown: tunnels close, reporting nothing more.
    void closeTunnels() { tunnels_.closeAll(); }
    // Loop, once the context is destroyed: its vhosts are gone, and tunnels
    // still relaying for its connections close.
    void forgetVhosts() {
        vhosts_.forget();
        tunnels_.closeAll();
    }

private:
    void start(CWSSClient* client, std::uint64_t attempt, const WsUrl& url);
    void startProxied(CWSSClient* client, std::uint64_t attempt, const WsUrl& url);
    void openTunnel(CWSSClient* client, std::uint64_t attempt, const WsUrl& url, const tagWSSRoute& route);
    void open(CWSSClient* client, std::uint64_t attempt, const WsUrl& url, const std::string& address,
              const tagWSSRoute& route);
    void settle(ConnLink* link, ConnectFailure failure);
    void fail(CWSSClient* client, std::uint64_t attempt, ConnectFailure failure);
    void armDeadline(CWSSClient* client, std::uint64_t attempt, unsigned int ms);
    void onDeadline(CWSSClient* client, std::uint64_t attempt);
    bool pending(CWSSClient* client, std::uint64_t attempt);

    LoopCore& loop_;
    Connections& connections_;
    std::atomic<std::uint64_t> nextAttempt_{1};
    Resolver resolver_;
    ClientVhosts vhosts_;
    ProxyTunnels tunnels_;
    bool shuttingDown_ = false; // loop thread only
    struct Failing {
        const CWSSConn* client = nullptr;
        const ConnectFailure* failure = nullptr;
    };
    Failing failing_; // loop: the attempt whose onConnectErr runs
};

} // namespace quorvex::transport::detail

#endif
