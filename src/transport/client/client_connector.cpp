// SPDX-License-Identifier: Apache-2.0
#include "transport/client/client_connector.h"

#include <algorithm>

#include "transport/wss_client.h"
#include "transport/wss_context.h"
#include "transport/client/failure_classifier.h"
#include "transport/client/proxy_answer.h"
#include "transport/client/tls_failure.h"
#include "transport/client/tls_sessions.h"
#include "transport/conn/conn_fields.h"
#include "transport/conn/conn_handle.h"
#include "transport/conn/connections.h"
#include "transport/loop/loop_core.h"
#include "transport/loop/guarded.h"
#include "transport/conn/liveness.h"
#include "transport/loop/loop_thread.h"
#include "transport/io/send_queue.h"

namespace quorvex::transport::detail {

namespace {
using Kind = ConnectFailureKind;
// The link inside lws_client_connect_via_info on this loop's thread, if any.
thread_local const ConnLink* connectingInline = nullptr;
} // namespace

bool ClientConnector::begin(CWSSClient* client, WsUrl url) {
    std::uint64_t attempt = nextAttempt_++;
    return loop_.post([this, client, attempt, url = std::move(url)] {
        connections_.attach(client);
        ConnFields::pendingAttempts(*client).push_back(attempt);
        start(client, attempt, url);
    });
}

bool ClientConnector::pending(CWSSClient* client, std::uint64_t attempt) {
    auto& attempts = ConnFields::pendingAttempts(*client);
    return connections_.attached(client) &&
           std::find(attempts.begin(), attempts.end(), attempt) != attempts.end();
}

void ClientConnector::start(CWSSClient* client, std::uint64_t attempt, const WsUrl& url) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!loop_.lwsContext()) {
        fail(client, attempt, {Kind::Other, 0, 0, "context closed"});
        return;
    }
    ConnHandle& handle = ConnFields::handle(*client);
    armDeadline(client, attempt, handle.limits.connectTimeoutMs);
    if (handle.route.proxied()) {
        startProxied(client, attempt, url);
        return;
    }
    if (isNumericHost(url.host)) {
        open(client, attempt, url, url.host, handle.route);
        return;
    }
    resolver_.resolve(url.host, [this, client, attempt, url](const std::string& address) {
        if (address.empty()) {
            lwsl_notice("%s: cannot resolve %s\n", loop_.moduleName().c_str(), url.host.c_str());
            fail(client, attempt, {Kind::NameUnknown, 0, 0, "name lookup of " + url.host + " failed"});
            return;
        }
        open(client, attempt, url, address, ConnFields::handle(*client).route);
    });
}

// The proxy resolves the server's name; ours resolves the proxy's, off the loop.
void ClientConnector::startProxied(CWSSClient* client, std::uint64_t attempt, const WsUrl& url) {
    tagWSSRoute route = ConnFields::handle(*client).route;
    if (isNumericHost(route.proxyHost)) {
        openTunnel(client, attempt, url, route);
        return;
    }
    resolver_.resolve(route.proxyHost, [this, client, attempt, url, route](const std::string& address) mutable {
        if (address.empty()) {
            lwsl_notice("%s: cannot resolve the proxy %s\n", loop_.moduleName().c_str(), route.proxyHost.c_str());
            fail(client, attempt, {Kind::Proxy, 0, 0, "name lookup of the proxy failed"});
            return;
        }
        route.proxyHost = address;
        openTunnel(client, attempt, url, route);
    });
}

// libwebsockets then connects through the tunnel as if straight to the server.
void ClientConnector::openTunnel(CWSSClient* client, std::uint64_t attempt, const WsUrl& url,
                                 const tagWSSRoute& route) {
    if (!pending(client, attempt)) return;
    std::string request = connectRequest(url.host, url.port, route.proxyCredentials);
    tunnels_.open(loop_.events(), attempt, route.proxyHost, route.proxyPort, std::move(request),
                  [this, client, attempt, url, route](const ConnectFailure* failure, const std::string& address) {
                      if (failure) return fail(client, attempt, *failure);
                      tagWSSRoute through = route; // the vhost sets no proxy of its own
                      through.proxyHost.clear();
                      through.proxyCredentials.clear();
                      open(client, attempt, url, address, through);
                  });
}

void ClientConnector::open(CWSSClient* client, std::uint64_t attempt, const WsUrl& url,
                           const std::string& address, const tagWSSRoute& route) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!pending(client, attempt)) return tunnels_.drop(attempt);
    if (!loop_.lwsContext()) {
        fail(client, attempt, {Kind::Other, 0, 0, "context closed"});
        return;
    }
    const char* why = nullptr;
    lws_vhost* vhost = vhosts_.forRoute(loop_.lwsContext(), loop_.protocols(), route, &why);
    if (why) {
        fail(client, attempt, {Kind::Other, 0, 0, why});
        return;
    }
    ConnLink* link = connections_.create(ConnLink::Kind::Client, client, nullptr);
    link->attempt = attempt;
    link->tls = url.tls;
    link->verifiedTls = url.tls && !ConnFields::handle(*client).noSslVerify;
    link->vhost = vhost;
    vhosts_.hold(vhost);

    lws_client_connect_info info{};
    info.context = loop_.lwsContext();
    info.vhost = vhost;
    info.address = address.c_str();
    info.port = url.port;
    info.path = url.path.c_str();
    info.host = url.hostHeader.c_str();
    info.origin = url.hostHeader.c_str();
    info.ietf_version_or_minus_one = -1;
    info.local_protocol_name = LoopCore::kProtocolName;
    info.userdata = link;
    info.pwsi = &link->wsi;
    info.retry_and_idle_policy = &kNoIdleTimers;
    if (url.tls) {
        info.ssl_connection = LCCSCF_USE_SSL;
        if (!link->verifiedTls) {
            info.ssl_connection |= LCCSCF_ALLOW_SELFSIGNED | LCCSCF_SKIP_SERVER_CERT_HOSTNAME_CHECK |
                                   LCCSCF_ALLOW_EXPIRED | LCCSCF_ALLOW_INSECURE;
        } else if (isNumericHost(url.host)) {
            // libwebsockets takes the name to check from the Host header up to its first ':', which
            // leaves "[" of an IPv6 address: the loop checks addresses itself (EventLoop).
            info.ssl_connection |= LCCSCF_SKIP_SERVER_CERT_HOSTNAME_CHECK;
            link->certifiedAddress = url.host;
        }
    }
    connectingInline = link;
    lws* made = lws_client_connect_via_info(&info);
    connectingInline = nullptr;
    if (!made) {
        // Refused inside the call: libwebsockets reports nothing itself.
        if (ConnLink* still = connections_.find(link)) {
            settle(still, {Kind::Other, 0, 0, "connect refused"});
            vhosts_.release(still->vhost);
            connections_.forget(still);
        }
    }
}

void ClientConnector::fail(CWSSClient* client, std::uint64_t attempt, ConnectFailure failure) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    tunnels_.drop(attempt);
    if (!pending(client, attempt)) return;
    auto& attempts = ConnFields::pendingAttempts(*client);
    attempts.erase(std::find(attempts.begin(), attempts.end(), attempt));
    ConnHandle& handle = ConnFields::handle(*client);
    connections_.unlink(client);
    ConnFields::queue(*client).discardAll();
    handle.active = false;
    std::string line = describeAttempt(failure, handle.route);
    lwsl_notice("%s: %s\n", loop_.moduleName().c_str(), line.c_str());
    Failing outer = failing_;
    failing_ = {client, &failure};
    guarded("onConnectErr", [&] { client->onConnectErr(); });
    failing_ = outer;
}

// One deadline covers the name lookup, TCP, TLS and the upgrade: a peer
// that is silent at any of these steps ends the attempt.
void ClientConnector::armDeadline(CWSSClient* client, std::uint64_t attempt, unsigned int ms) {
    if (ms == 0) return;
    loop_.timers().add(
        [this, client, attempt](void*) {
            onDeadline(client, attempt);
            return false;
        },
        ms);
}

void ClientConnector::onDeadline(CWSSClient* client, std::uint64_t attempt) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!pending(client, attempt)) return; // settled, or the client has gone
    ConnHandle& handle = ConnFields::handle(*client);
    ConnLink* link = connections_.linkOf(client);
    unsigned int ms = handle.limits.connectTimeoutMs;
    if (link && link->attempt == attempt && link->wsi) {
        lws* wsi = link->wsi;
        settle(link, deadlineFailure(&link->progress, handle.route, link->tls, ms));
        killAsync(wsi);
        return;
    }
    AttemptProgress tunnel; // the proxy answers, or not, before libwebsockets has a connection
    tunnel.tcpConnected = tunnels_.proxyConnected(attempt);
    fail(client, attempt, deadlineFailure(tunnel.tcpConnected ? &tunnel : nullptr, handle.route, false, ms));
}

void ClientConnector::settleEstablished(ConnLink* link, lws* wsi) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    // Verified and upgraded: the server's sessions may spare the next connections a full handshake.
    if (link->phase == ConnLink::Phase::Connecting && link->verifiedTls) trustTlsSessions(lws_get_ssl(wsi));
    if (link->phase == ConnLink::Phase::Connecting && link->conn) {
        auto& attempts = ConnFields::pendingAttempts(*static_cast<CWSSClient*>(link->conn));
        attempts.erase(std::remove(attempts.begin(), attempts.end(), link->attempt), attempts.end());
    }
    connections_.settleOpen(link, wsi);
}

void ClientConnector::settleFailure(ConnLink* link, lws* wsi, const char* why) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (link->phase != ConnLink::Phase::Connecting) return;
    // A connect that fails inside the call (Windows: a refused one, at once)
    // is not reported by libwebsockets, which only closes the connection:
    // its words for the same failure reported later are used.
    if (link == connectingInline) why = "Unable to connect";
    ConnectFailure failure{ConnectFailureKind::Other, 0, 0, "context closed"};
    if (link->client() && link->conn && !shuttingDown_) {
        if (wsi) readUpgradeAnswer(wsi, link->progress);
        if (wsi && link->tls) link->progress.tlsError = takeTlsFailure(wsi);
        failure = classifyLwsFailure(why, link->progress, ConnFields::handle(*link->conn).route, link->tls);
    }
    settle(link, std::move(failure));
}

void ClientConnector::settle(ConnLink* link, ConnectFailure failure) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (link->phase != ConnLink::Phase::Connecting) return;
    link->closed();
    if (!link->client()) return; // a server connection is released with its wsi
    CWSSConn* conn = link->conn;
    link->conn = nullptr;
    if (conn) fail(static_cast<CWSSClient*>(conn), link->attempt, std::move(failure));
}

ConnectFailure ClientConnector::failureOf(const CWSSConn* conn) const {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    return failing_.client == conn && failing_.failure ? *failing_.failure : ConnectFailure{};
}

void ClientConnector::releaseVhost(const ConnLink* link) { vhosts_.release(link->vhost); }

void ClientConnector::failUnresolved() {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    shuttingDown_ = true; // what fails from here on fails for that, whatever libwebsockets says
    std::vector<CWSSClient*> waiting;
    for (void* entry : loop_.owner()->getAll()) {
        auto* conn = static_cast<CWSSConn*>(entry);
        ConnHandle& handle = ConnFields::handle(*conn);
        if (handle.client && !connections_.linkOf(conn) && handle.active) waiting.push_back(static_cast<CWSSClient*>(conn));
    }
    for (CWSSClient* client : waiting) {
        auto attempts = ConnFields::pendingAttempts(*client);
        for (std::uint64_t attempt : attempts) fail(client, attempt, {Kind::Other, 0, 0, "context closed"});
    }
}

} // namespace quorvex::transport::detail
