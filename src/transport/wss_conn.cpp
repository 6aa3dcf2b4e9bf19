// SPDX-License-Identifier: Apache-2.0
#include "transport/wss_conn.h"

#include <libwebsockets.h>

#include "transport/conn/conn_fields.h"
#include "transport/conn/conn_handle.h"
#include "transport/conn/hand_off.h"
#include "transport/engine/event_loop.h"
#include "transport/io/send_queue.h"
#include "transport/wss_context.h"

using quorvex::transport::ByteSpan;
using quorvex::transport::detail::ConnFields;
using quorvex::transport::detail::ConnHandle;
using quorvex::transport::detail::SendQueue;

CWSSConn::CWSSConn()
    : sendQueue(new SendQueue()), responseStatus(0), requestProcessed(false), method(0), wsi(nullptr),
      connContext(nullptr), establishedTime(0), lastActiveTime(0), rcvPackets(0), rcvBytes(0), sndPackets(0),
      sndBytes(0), localPort(0), peerPort(0), handle_(new ConnHandle()) {
    handle_->ready.conn = this;
}

CWSSConn::~CWSSConn() {
    delete handle_;
    delete sendQueue;
}

void CWSSConn::onEstablished() {}
void CWSSConn::onTextData(const char*, int) {}
void CWSSConn::onBinaryData(const unsigned char*, int) {}
void CWSSConn::onClose() {}
void CWSSConn::onAddHeader(lws*, char*, unsigned int) {}
void CWSSConn::onHeader() {}
bool CWSSConn::processRequest() { return false; }
void CWSSConn::onHttpClose() {}

void CWSSConn::init(CWSSContext* ctx, lws* handle) {
    std::lock_guard<std::mutex> guard(connLock);
    connContext = ctx;
    wsi = handle;
}

void CWSSConn::uninit() {
    std::lock_guard<std::mutex> guard(connLock);
    clearBuf();
    wsi = nullptr;
}

void CWSSConn::close() {
    lws* target = nullptr;
    {
        // Held for the copy only: the loop takes this lock as connections
        // open and close, and must never wait for a thread that posts.
        std::lock_guard<std::mutex> guard(connLock);
        target = wsi;
    }
    if (!target) {
        _lws_log(LLL_ERR, "conn already closed \n");
        return;
    }
    // libwebsockets is not thread-safe: only the loop thread may touch the
    // wsi, and the loop checks the binding again before it does.
    if (auto loop = handle_->loop())
        loop->connections().requestClose(this, quorvex::transport::Closing::Now, LWS_CLOSE_STATUS_NORMAL, "", target);
}

void CWSSConn::closeWhenSent() {
    if (!handle_->active) return;
    if (auto loop = handle_->loop())
        loop->connections().requestClose(this, quorvex::transport::Closing::AfterSending, LWS_CLOSE_STATUS_NORMAL, "");
}

namespace {
bool writable(const unsigned char* data, int len) {
    if (len >= 0 && (len == 0 || data)) return true;
    lwsl_err("write of %d bytes from %p refused\n", len, static_cast<const void*>(data));
    return false;
}
} // namespace

void CWSSConn::writeText(const char* data, int len) {
    auto bytes = reinterpret_cast<const unsigned char*>(data);
    ByteSpan whole{bytes, static_cast<std::size_t>(len)};
    if (writable(bytes, len)) enqueue(&whole, 1, false);
}

void CWSSConn::writeBinary(const unsigned char* data, int len) {
    ByteSpan whole{data, static_cast<std::size_t>(len)};
    if (writable(data, len)) enqueue(&whole, 1, true);
}

void CWSSConn::enqueue(const ByteSpan* pieces, std::size_t count, bool binary, std::uint64_t connection) {
    quorvex::transport::detail::handOff(*this, pieces, count, binary, connection);
}

unsigned long long CWSSConn::getEstablishedTime() { return establishedTime; }
unsigned long long CWSSConn::getLastActiveTime() { return lastActiveTime; }
unsigned long long CWSSConn::getRcvPackets() { return rcvPackets; }
unsigned long long CWSSConn::getRcvBytes() { return rcvBytes; }
unsigned long long CWSSConn::getSndPackets() { return sndPackets; }
unsigned long long CWSSConn::getSndBytes() { return sndBytes; }
const std::string& CWSSConn::getLocalAddr() { return localAddr; }
const std::string& CWSSConn::getPeerAddr() { return peerAddr; }
unsigned short CWSSConn::getLocalPort() { return localPort; }
unsigned short CWSSConn::getPeerPort() { return peerPort; }
unsigned short CWSSConn::getSndQueueLen() { return static_cast<unsigned short>(sendQueue->size()); }

void CWSSConn::clearBuf() { sendQueue->close(); }

// ---- HTTP request path ------------------------------------------------------------

bool CWSSConn::processHttp(CWSSContext* ctx, lws* handle, const char* in, int len) {
    connContext = ctx;
    wsi = handle;
    requestUri.assign(in ? in : "", in && len > 0 ? static_cast<std::size_t>(len) : 0);
    if (lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) || lws_hdr_total_length(wsi, WSI_TOKEN_HEAD_URI)) {
        method = 0;
    } else if (lws_hdr_total_length(wsi, WSI_TOKEN_POST_URI)) {
        method = 1;
    } else {
        _lws_log(LLL_ERR, "unsupport method \n");
        return false;
    }
    char achBuffer[1024];
    if (lws_hdr_copy(wsi, achBuffer, sizeof achBuffer, WSI_TOKEN_HTTP_CONTENT_TYPE) > 0) contentType = achBuffer;
    // Each argument is a fragment: lws_hdr_copy joins them with ',' in
    // libwebsockets 4.1 and with '&' in 4.3 (logging each as an error there).
    // Joined here with '&', as the request had them, on every release; each
    // copied whole, however long (libwebsockets' header limit bounds them).
    uriArgs.clear();
    std::string argument;
    for (int i = 0;; ++i) {
        argument.resize(static_cast<std::size_t>(lws_hdr_fragment_length(wsi, WSI_TOKEN_HTTP_URI_ARGS, i)) + 1);
        int copied = lws_hdr_copy_fragment(wsi, &argument[0], static_cast<int>(argument.size()),
                                           WSI_TOKEN_HTTP_URI_ARGS, i);
        if (copied < 0) break;
        if (i > 0) uriArgs += '&';
        uriArgs.append(argument, 0, static_cast<std::size_t>(copied));
    }
    preProcess();
    _lws_log(LLL_NOTICE, "processHttp %s %d \n", requestUri.c_str(), method);
    if (method == 0) return httpProcess();
    return true; // the body arrives through appendBody, then httpProcess
}

bool CWSSConn::httpProcess() {
    requestProcessed = true;
    return processRequest();
}

void CWSSConn::appendBody(const char* data, int len) {
    if (data && len > 0) requestBody.append(data, static_cast<std::size_t>(len));
}

void CWSSConn::onHttpWrite() {
    constexpr std::size_t kReserved = LWS_PRE;
    if (response.empty()) return;
    if (response.size() < kReserved) {
        _lws_log(LLL_ERR, "http response of %zu bytes lacks its %zu reserved bytes; not sent\n", response.size(),
                 kReserved);
        response.clear();
        return;
    }
    unsigned char achBuffer[512];
    unsigned char* start = achBuffer + kReserved;
    unsigned char* cursor = start;
    unsigned char* end = achBuffer + sizeof achBuffer - kReserved;
    const lws_filepos_t bodyLength = response.size() - kReserved;
    if (lws_add_http_common_headers(wsi, static_cast<unsigned int>(responseStatus), responseContentType.c_str(),
                                    bodyLength, &cursor, end) ||
        lws_finalize_write_http_header(wsi, start, &cursor, end)) {
        _lws_log(LLL_ERR, "lws_add_http_common_headers error");
        return;
    }
    if (!ConnFields::headOnly(*this))
        lws_write(wsi, reinterpret_cast<unsigned char*>(&response[kReserved]), bodyLength, LWS_WRITE_HTTP_FINAL);
    response.clear();
    // Non-zero: the connection cannot carry another request (no keep-alive), so let it go.
    if (lws_http_transaction_completed(wsi)) lws_set_timeout(wsi, PENDING_TIMEOUT_USER_REASON_BASE, LWS_TO_KILL_ASYNC);
}

// A new request starts with no answer yet.
void CWSSConn::preProcess() {
    requestProcessed = false;
    response.clear();
    responseStatus = 200;
}
