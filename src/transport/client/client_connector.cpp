// SPDX-License-Identifier: Apache-2.0
#include "transport/client/client_connector.h"

#include <algorithm>

#include <openssl/x509_vfy.h>

#include "transport/wss_client.h"
#include "transport/wss_context.h"
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

// OpenSSL's verification errors in the words users search for.
std::string certificateProblem(int error) {
    switch (error) {
    case 0: return std::string();
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return "certificate verification failed: name mismatch";
    case X509_V_ERR_CERT_HAS_EXPIRED: return "certificate verification failed: expired";
    case X509_V_ERR_CERT_NOT_YET_VALID: return "certificate verification failed: not yet valid";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN: return "certificate verification failed: unknown issuer";
    default: return std::string("certificate verification failed: ") + X509_verify_cert_error_string(error);
    }
}

std::string describeFailure(const tagWSSRoute& route, const char* why, int certificateError) {
    std::string text = why ? why : "connection error";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    std::string certificate = certificateProblem(certificateError);
    if (!certificate.empty()) text = certificate;
    if (route.proxied()) return "connection attempt through the proxy " + route.proxyLabel() + " failed: " + text;
    return "connection attempt failed: " + text;
}

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
        fail(client, attempt, "context closed");
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
            fail(client, attempt, "name lookup failed");
            return;
        }
        open(client, attempt, url, address, ConnFields::handle(*client).route);
    });
}

// The proxy resolves the server's name; ours resolves the proxy's, off the
// loop, so that libwebsockets is handed a numeric proxy and never blocks on it.
void ClientConnector::startProxied(CWSSClient* client, std::uint64_t attempt, const WsUrl& url) {
    tagWSSRoute route = ConnFields::handle(*client).route;
    if (isNumericHost(route.proxyHost)) {
        open(client, attempt, url, url.host, route);
        return;
    }
    resolver_.resolve(route.proxyHost, [this, client, attempt, url, route](const std::string& address) mutable {
        if (address.empty()) {
            lwsl_notice("%s: cannot resolve the proxy %s\n", loop_.moduleName().c_str(), route.proxyHost.c_str());
            fail(client, attempt, "proxy name lookup failed");
            return;
        }
        route.proxyHost = address;
        open(client, attempt, url, url.host, route);
    });
}

void ClientConnector::open(CWSSClient* client, std::uint64_t attempt, const WsUrl& url,
                           const std::string& address, const tagWSSRoute& route) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!pending(client, attempt)) return;
    if (!loop_.lwsContext()) {
        fail(client, attempt, "context closed");
        return;
    }
    const char* why = nullptr;
    lws_vhost* vhost = vhosts_.forRoute(loop_.lwsContext(), loop_.protocols(), route, &why);
    if (why) {
        fail(client, attempt, why);
        return;
    }
    ConnLink* link = connections_.create(ConnLink::Kind::Client, client, nullptr);
    link->attempt = attempt;

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
        if (ConnFields::handle(*client).noSslVerify)
            info.ssl_connection |= LCCSCF_ALLOW_SELFSIGNED | LCCSCF_SKIP_SERVER_CERT_HOSTNAME_CHECK |
                                   LCCSCF_ALLOW_EXPIRED | LCCSCF_ALLOW_INSECURE;
    }
    if (!lws_client_connect_via_info(&info)) {
        // Refused inside the call: libwebsockets reports nothing itself.
        if (ConnLink* still = connections_.find(link)) {
            settleFailure(still, "connect refused");
            connections_.forget(still);
        }
    }
}

void ClientConnector::fail(CWSSClient* client, std::uint64_t attempt, const char* why, int certificateError) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!pending(client, attempt)) return;
    auto& attempts = ConnFields::pendingAttempts(*client);
    attempts.erase(std::find(attempts.begin(), attempts.end(), attempt));
    ConnHandle& handle = ConnFields::handle(*client);
    handle.link = nullptr;
    ConnFields::queue(*client).close();
    handle.active = false;
    handle.connectFailure = describeFailure(handle.route, why, certificateError);
    lwsl_notice("%s: %s\n", loop_.moduleName().c_str(), handle.connectFailure.c_str());
    guarded("onConnectErr", [&] { client->onConnectErr(); });
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
    ConnLink* link = ConnFields::handle(*client).link;
    if (link && link->attempt == attempt && link->wsi) {
        lws* wsi = link->wsi;
        settleFailure(link, "connection timed out");
        killAsync(wsi);
        return;
    }
    fail(client, attempt, "connection timed out");
}

void ClientConnector::settleEstablished(ConnLink* link, lws* wsi) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (link->phase == ConnLink::Phase::Connecting && link->conn) {
        auto& attempts = ConnFields::pendingAttempts(*static_cast<CWSSClient*>(link->conn));
        attempts.erase(std::remove(attempts.begin(), attempts.end(), link->attempt), attempts.end());
    }
    connections_.settleOpen(link, wsi);
}

void ClientConnector::settleFailure(ConnLink* link, const char* why) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (link->phase != ConnLink::Phase::Connecting) return;
    link->phase = ConnLink::Phase::Done;
    if (!link->client()) return; // a server connection is released with its wsi
    CWSSConn* conn = link->conn;
    link->conn = nullptr;
    if (conn) fail(static_cast<CWSSClient*>(conn), link->attempt, why, link->certificateError);
}

void ClientConnector::failUnresolved() {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    std::vector<CWSSClient*> waiting;
    for (void* entry : loop_.owner()->getAll()) {
        auto* conn = static_cast<CWSSConn*>(entry);
        ConnHandle& handle = ConnFields::handle(*conn);
        if (handle.client && handle.link == nullptr && handle.active) waiting.push_back(static_cast<CWSSClient*>(conn));
    }
    for (CWSSClient* client : waiting) {
        auto attempts = ConnFields::pendingAttempts(*client);
        for (std::uint64_t attempt : attempts) fail(client, attempt, "context closed");
    }
}

} // namespace quorvex::transport::detail
