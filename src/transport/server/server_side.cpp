// SPDX-License-Identifier: Apache-2.0
#include "transport/server/server_side.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "transport/wss_config.h"
#include "transport/wss_context.h"
#include "transport/conn/conn_fields.h"
#include "transport/conn/conn_handle.h"
#include "transport/conn/connections.h"
#include "transport/loop/loop_core.h"
#include "transport/loop/guarded.h"
#include "transport/conn/liveness.h"
#include "transport/loop/loop_thread.h"

namespace quorvex::transport::detail {

void ServerSide::setLimits(const tagWSSLimits& limits) {
    limits_ = limits;
}

bool ServerSide::listen(const tagWSSvrConfig& config, lws_context_creation_info& info) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    std::string iface(config.bindInterface, strnlen(config.bindInterface, sizeof config.bindInterface));
    std::string name(config.vhostName, strnlen(config.vhostName, sizeof config.vhostName));
    std::string cert(config.certFile, strnlen(config.certFile, sizeof config.certFile));
    std::string key(config.keyFile, strnlen(config.keyFile, sizeof config.keyFile));
    info.port = config.listenPort;
    info.iface = iface.empty() ? nullptr : iface.c_str();
    info.vhost_name = name.empty() ? "default" : name.c_str();
    info.options |= LWS_SERVER_OPTION_FAIL_UPON_UNABLE_TO_BIND;
    info.retry_and_idle_policy = &kNoIdleTimers;
    if (!cert.empty()) {
        info.ssl_cert_filepath = cert.c_str();
        info.ssl_private_key_filepath = key.c_str();
    }
    LwsLogContext::bindVhost(loop_.lwsContext(), info);
    lws_vhost* vhost = lws_create_vhost(loop_.lwsContext(), &info);
    if (!vhost) {
        lwsl_err("%s: cannot listen on %s:%d\n", loop_.moduleName().c_str(), iface.empty() ? "*" : iface.c_str(),
                 config.listenPort);
        return false;
    }
    port_ = lws_get_vhost_listen_port(vhost);
    return true;
}

bool ServerSide::admit() {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (stopping_) return false;
    if (limits_.maxConnections == 0 || accepted_.size() < limits_.maxConnections) return true;
    ++refused_;
    reportRefusals();
    return false;
}

void ServerSide::reportRefusals() {
    std::uint64_t now = nowMillis();
    if (lastReportMs_ != 0 && now - lastReportMs_ < 1000) return;
    lastReportMs_ = now;
    std::uint64_t total = refused_.load();
    lwsl_err("%s: %zu connections open, the limit: %llu new connection(s) closed at once\n",
             loop_.moduleName().c_str(), accepted_.size(), static_cast<unsigned long long>(total - reported_));
    reported_ = total;
}

void ServerSide::onAccepted(lws* wsi) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    accepted_.insert(wsi);
}

void ServerSide::onDestroyed(lws* wsi) { accepted_.erase(wsi); }

void ServerSide::closeUnclaimed() {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    std::vector<lws*> unclaimed;
    for (lws* wsi : accepted_)
        if (!connections_.find(lws_wsi_user(wsi))) unclaimed.push_back(wsi);
    for (lws* wsi : unclaimed)
        if (accepted_.count(wsi)) killNow(wsi);
}

CWSSConn* ServerSide::make(const std::string& path) {
    CWSSConn* conn = nullptr;
    if (factory_) guarded("connection factory", [&] { conn = factory_(path); });
    if (conn) ConnFields::handle(*conn).limits = limits_;
    return conn;
}

int ServerSide::acceptUpgrade(lws* wsi) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!factory_ || lws_wsi_user(wsi) || stopping_) return 1;
    char path[1024] = {};
    if (lws_hdr_copy(wsi, path, sizeof path, WSI_TOKEN_GET_URI) < 0) return 1;
    upgrading_ = true;
    refusalStatus_ = HTTP_STATUS_NOT_FOUND;
    retryAfterSeconds_ = 0;
    CWSSConn* conn = make(path);
    upgrading_ = false;
    if (!conn) { // refused: an answer the client understands, then the handshake fails
        refuseUpgrade(wsi);
        return 1;
    }
    ConnLink* link = connections_.create(ConnLink::Kind::WebSocket, conn, wsi);
    lws_set_wsi_user(wsi, link);
    ConnHandle& handle = ConnFields::handle(*conn);
    handle.setLoop(loop_.owner()->loop());
    handle.active = true;
    ConnFields::prepareQueue(*conn);
    return 0;
}

void ServerSide::answerRefusalWith(unsigned int status, unsigned int retryAfterSeconds) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!upgrading_) return;
    refusalStatus_ = status;
    retryAfterSeconds_ = retryAfterSeconds;
}

void ServerSide::refuseUpgrade(lws* wsi) {
    if (retryAfterSeconds_ == 0) {
        lws_return_http_status(wsi, refusalStatus_, nullptr);
        return;
    }
    char body[64], retry[16];
    int bodyLength = std::snprintf(body, sizeof body, "%u: retry after %u s\n", refusalStatus_, retryAfterSeconds_);
    int retryLength = std::snprintf(retry, sizeof retry, "%u", retryAfterSeconds_);
    unsigned char buffer[LWS_PRE + 512];
    unsigned char* start = buffer + LWS_PRE;
    unsigned char* cursor = start;
    unsigned char* end = buffer + sizeof buffer;
    if (lws_add_http_common_headers(wsi, refusalStatus_, "text/plain", static_cast<lws_filepos_t>(bodyLength), &cursor,
                                    end) ||
        lws_add_http_header_by_token(wsi, WSI_TOKEN_HTTP_RETRY_AFTER, reinterpret_cast<unsigned char*>(retry),
                                     retryLength, &cursor, end) ||
        lws_finalize_http_header(wsi, &cursor, end) || end - cursor < bodyLength) {
        lws_return_http_status(wsi, refusalStatus_, nullptr); // the status at least
        return;
    }
    std::memcpy(cursor, body, static_cast<std::size_t>(bodyLength));
    cursor += bodyLength;
    lws_write(wsi, start, static_cast<std::size_t>(cursor - start), LWS_WRITE_HTTP_HEADERS);
}

int ServerSide::onHttpRequest(lws* wsi, void* user, const char* uri, std::size_t len) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    ConnLink* link = connections_.find(user);
    if (!link) {
        if (stopping_) return -1;
        CWSSConn* conn = make(std::string(uri, len));
        if (!conn) return answer(wsi, nullptr, false);
        link = connections_.create(ConnLink::Kind::Http, conn, wsi);
        link->opened(wsi, steadyMillis());
        lws_set_wsi_user(wsi, link);
    }
    link->wsi = wsi;
    CWSSConn* conn = link->conn;
    if (!conn) return -1;
    ConnFields::beginHttpRequest(*conn);
    link->beginRequest(lws_hdr_total_length(wsi, WSI_TOKEN_HEAD_URI) > 0);
    bool handled = false;
    guarded("processHttp", [&] { handled = conn->processHttp(loop_.owner(), wsi, uri, static_cast<int>(len)); });
    if (handled && ConnFields::isPost(*conn)) return 0; // answered once the body is complete
    return answer(wsi, link, handled);
}

// Past the body limit the request gets 413 and the connection goes, before
// the body is held in memory; the connection's onHttpClose can tell why.
int ServerSide::onHttpBody(ConnLink* link, const void* in, std::size_t len) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    link->bodyBytes += len;
    if (link->bodyBytes > limits_.maxBodyBytes) {
        link->bodyRefused = true;
        lws_return_http_status(link->wsi, HTTP_STATUS_REQ_ENTITY_TOO_LARGE, nullptr);
        return -1;
    }
    if (link->conn) link->conn->appendBody(static_cast<const char*>(in), static_cast<int>(len));
    return 0;
}

int ServerSide::onHttpBodyDone(ConnLink* link) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    bool handled = false;
    if (!link->conn) return -1;
    guarded("httpProcess", [&] { handled = link->conn->httpProcess(); });
    return answer(link->wsi, link, handled);
}

int ServerSide::onHttpWritable(ConnLink* link) {
    if (link->conn) guarded("onHttpWrite", [&] { link->conn->onHttpWrite(); });
    return 0;
}

// A handled request is written when the connection can take it; anything
// else gets a status of our own rather than silence.
int ServerSide::answer(lws* wsi, ConnLink* link, bool handled) {
    if (handled && link && link->conn && ConnFields::hasResponse(*link->conn)) {
        lws_callback_on_writable(wsi);
        return 0;
    }
    unsigned int status = HTTP_STATUS_NOT_FOUND;
    if (handled) {
        lwsl_err("%s: request handled without a response\n", loop_.moduleName().c_str());
        status = HTTP_STATUS_INTERNAL_SERVER_ERROR;
    } else if (!lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) && !lws_hdr_total_length(wsi, WSI_TOKEN_POST_URI) &&
               !lws_hdr_total_length(wsi, WSI_TOKEN_HEAD_URI)) {
        status = HTTP_STATUS_METHOD_NOT_ALLOWED;
    }
    if (lws_hdr_total_length(wsi, WSI_TOKEN_HEAD_URI) ? statusOnly(wsi, status) : lws_return_http_status(wsi, status, nullptr))
        return -1;
    return lws_http_transaction_completed(wsi) ? -1 : 0;
}

// A HEAD is answered without a body, or a kept-alive connection would read
// the body as the start of its next response.
int ServerSide::statusOnly(lws* wsi, unsigned int status) {
    unsigned char buffer[LWS_PRE + 256];
    unsigned char* start = buffer + LWS_PRE;
    unsigned char* cursor = start;
    unsigned char* end = buffer + sizeof buffer;
    return lws_add_http_common_headers(wsi, status, "text/html", 0, &cursor, end) ||
                   lws_finalize_write_http_header(wsi, start, &cursor, end)
               ? -1
               : 0;
}

void ServerSide::onHttpClosed(ConnLink* link) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (link->conn) guarded("onHttpClose", [&] { link->conn->onHttpClose(); });
    connections_.releaseOwned(link);
    link->closed();
}

} // namespace quorvex::transport::detail
