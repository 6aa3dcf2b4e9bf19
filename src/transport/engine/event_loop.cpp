// SPDX-License-Identifier: Apache-2.0
#include "transport/engine/event_loop.h"

#include <algorithm>

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "platform/trust_store.h"
#include "transport/client/client_vhosts.h"
#include "transport/wss_config.h"
#include "transport/client/tls_failure.h"
#include "transport/client/tls_sessions.h"
#include "transport/loop/loop_thread.h"

namespace quorvex::transport::detail {

namespace {

// The server's own certificate, once its chain has passed, must name the
// address as an IP entry (never as a DNS name), IPv4 or IPv6 alike.
bool certifiesAddress(X509_STORE_CTX* store, const std::string& address) {
    if (address.empty() || X509_STORE_CTX_get_error_depth(store) != 0) return true;
    X509* certificate = X509_STORE_CTX_get_current_cert(store);
    return certificate && X509_check_ip_asc(certificate, address.c_str(), 0) == 1;
}

} // namespace

EventLoop::EventLoop(CWSSContext* owner)
    : core_(owner, *this), sendPath_(core_), connections_(core_, sendPath_), connector_(core_, connections_),
      server_(core_, connections_), liveness_(core_, connections_, sendPath_) {}

EventLoop::~EventLoop() { stop(); }

void EventLoop::FreeTls::operator()(SSL_CTX* tls) const { SSL_CTX_free(tls); }

bool EventLoop::start(const tagWSSvrConfig& config, unsigned int rxBufferSize, unsigned int txFragmentSize,
                      ServerSide::ConnFactory factory, const tagWSSLimits& acceptedLimits) {
    server_.setFactory(std::move(factory));
    server_.setLimits(acceptedLimits);
    sendPath_.setBatchLimit(txFragmentSize ? txFragmentSize : 4096);
    LoopSettings settings;
    // rxBufferSize is the context's socket read size. libwebsockets also
    // gives every connection a frame buffer of the protocol's size: a
    // client hears short texts, so its connections get a small one (longer
    // messages arrive in more pieces) and ten thousand sessions do not hold
    // 40 MB of buffers for nothing.
    settings.readBufferBytes = rxBufferSize;
    settings.frameBufferBytes =
        rxBufferSize ? std::min(rxBufferSize, kClientFrameBufferBytes) : kClientFrameBufferBytes;
    settings.txPacketBytes = SendPath::kBatchBytes;
    settings.listening = server_.listening();
    if (!settings.listening && config.caFile[0] == '\0') {
        const char* why = nullptr;
        clientTls_.reset(newClientTls(tagWSSRoute(), &why));
        if (!clientTls_) lwsl_err("%s: %s\n", config.moduleName, why);
        settings.clientTls = clientTls_.get();
    }
    return core_.start(config, settings);
}

// ---- the core's events ---------------------------------------------------------

bool EventLoop::onContextCreated(const tagWSSvrConfig& config, lws_context_creation_info& info) {
    if (server_.listening() && !server_.listen(config, info)) return false;
    owner()->init(lwsContext());
    return true;
}

void EventLoop::onStarted() {
    timers().add(
        [this](void*) {
            liveness_.sweep();
            return true;
        },
        Liveness::kSweepMs);
}

void EventLoop::onStopping() {
    server_.stopAccepting();
    connector_.failUnresolved();
    connector_.stopLookups();
}

void EventLoop::closeEveryConnection() {
    connections_.closeEvery();
    server_.closeUnclaimed();
    connector_.closeTunnels();
}

void EventLoop::onContextGone() {
    connector_.forgetVhosts();
    owner()->init(nullptr);
}

void EventLoop::onFlushes(CWSSConn* const* first, std::size_t count) { connections_.flushReady(first, count); }

int EventLoop::onLwsEvent(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len) {
    switch (reason) {
    case LWS_CALLBACK_FILTER_NETWORK_CONNECTION: // wsi is the listener; non-zero closes the new socket
        return server_.admit() ? 0 : 1;
    case LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED:
        server_.onAccepted(wsi);
        return 0;
    case LWS_CALLBACK_WSI_DESTROY:
        server_.onDestroyed(wsi);
        break; // and the connection's own end below
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
        return server_.acceptUpgrade(wsi);
    case LWS_CALLBACK_HTTP:
        return server_.onHttpRequest(wsi, user, static_cast<const char*>(in), len);
    case LWS_CALLBACK_OPENSSL_LOAD_EXTRA_CLIENT_VERIFY_CERTS: // user: a client TLS context
        watchTlsFailures(static_cast<SSL_CTX*>(user));
        enableTlsResumption(static_cast<SSL_CTX*>(user));
        // The one of sessions without CAs of their own: the system's roots.
        if (platform::addSystemRoots(static_cast<SSL_CTX*>(user)) < 0)
            lwsl_err("the system's certificate store could not be opened: verified wss:// sessions will fail\n");
        return 0;
    case LWS_CALLBACK_OPENSSL_PERFORM_SERVER_CERT_VERIFICATION:
        // user is the X509_STORE_CTX here, len OpenSSL's verdict: keep the
        // reason, which libwebsockets' own error text loses.
        if (ConnLink* link = connections_.find(lws_wsi_user(wsi))) {
            auto* store = static_cast<X509_STORE_CTX*>(user);
            if (len != 0 && !certifiesAddress(store, link->certifiedAddress))
                X509_STORE_CTX_set_error(store, X509_V_ERR_IP_ADDRESS_MISMATCH);
            link->progress.certificateError = X509_STORE_CTX_get_error(store);
            return link->progress.certificateError != X509_V_OK; // non-zero fails the check
        }
        return 0;
    default:
        break;
    }
    ConnLink* link = connections_.find(user);
    if (!link) return lws_callback_http_dummy(wsi, reason, user, in, len);
    return onConnectionEvent(link, wsi, reason, in, len);
}

int EventLoop::onConnectionEvent(ConnLink* link, lws* wsi, lws_callback_reasons reason, void* in, std::size_t len) {
    switch (reason) {
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
        connector_.settleEstablished(link, wsi);
        return 0;
    case LWS_CALLBACK_ESTABLISHED:
        connections_.settleOpen(link, wsi);
        return 0;
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        connector_.settleFailure(link, wsi, static_cast<const char*>(in));
        return 0;
    // Milestones of a client attempt, so that a failure can say which step it ended at.
    case LWS_CALLBACK_WSI_CREATE: // libwebsockets makes it once TCP has connected
        link->progress.tcpConnected = true;
        return 0;
    case LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER:
        link->progress.upgradeSent = true;
        return lws_callback_http_dummy(wsi, reason, link, in, len);
    case LWS_CALLBACK_CLIENT_RECEIVE:
    case LWS_CALLBACK_RECEIVE:
        return connections_.onReceive(link, in, len);
    case LWS_CALLBACK_CLIENT_WRITEABLE:
    case LWS_CALLBACK_SERVER_WRITEABLE:
        return sendPath_.onWritable(link);
    case LWS_CALLBACK_RECEIVE_PONG:
    case LWS_CALLBACK_CLIENT_RECEIVE_PONG:
        connections_.onPong(link);
        return 0;
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
        return connections_.onPeerClose(link, in, len);
    case LWS_CALLBACK_CLIENT_CLOSED:
    case LWS_CALLBACK_CLOSED:
        connections_.settleClose(link);
        return 0;
    case LWS_CALLBACK_HTTP_BODY:
        return server_.onHttpBody(link, in, len);
    case LWS_CALLBACK_HTTP_BODY_COMPLETION:
        return server_.onHttpBodyDone(link);
    case LWS_CALLBACK_HTTP_WRITEABLE:
        return server_.onHttpWritable(link);
    case LWS_CALLBACK_CLOSED_HTTP:
        server_.onHttpClosed(link);
        return 0;
    case LWS_CALLBACK_WSI_DESTROY:
        onWsiDestroyed(link);
        return 0;
    default:
        return lws_callback_http_dummy(wsi, reason, link, in, len);
    }
}

// The one callback every wsi gets: settle whatever was left open.
void EventLoop::onWsiDestroyed(ConnLink* link) {
    if (link->kind == ConnLink::Kind::Http) server_.onHttpClosed(link);
    connector_.settleFailure(link, nullptr, "closed before connecting");
    connector_.releaseVhost(link);
    connections_.settleClose(link);
    connections_.releaseOwned(link);
    connections_.forget(link);
}

} // namespace quorvex::transport::detail
