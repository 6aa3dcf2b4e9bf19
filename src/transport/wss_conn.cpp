#include "wss_conn.h"

#include <libwebsockets.h>

#include "detail/event_loop.h"
#include "detail/send_queue.h"
#include "wss_context.h"

using quorvex::transport::detail::makeOutMessage;
using quorvex::transport::detail::SendQueue;

CWSSConn::CWSSConn()
    : sendQueue(new SendQueue()), responseStatus(0), requestProcessed(false), method(0), wsi(nullptr),
      connContext(nullptr), establishedTime(0), lastActiveTime(0), rcvPackets(0), rcvBytes(0), sndPackets(0),
      sndBytes(0), localPort(0), peerPort(0) {}

CWSSConn::~CWSSConn() { delete sendQueue; }

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
    std::lock_guard<std::mutex> guard(connLock);
    if (!wsi) {
        _lws_log(LLL_ERR, "conn already closed \n");
        return;
    }
    // libwebsockets is not thread-safe: only the loop thread may touch the wsi.
    // While wsi is set the context is alive (its teardown unbinds us first).
    if (connContext->isLoopThread()) {
        lws_set_timeout(wsi, PENDING_TIMEOUT_USER_REASON_BASE, LWS_TO_KILL_ASYNC);
    } else {
        connContext->loop()->requestClose(this, wsi);
    }
}

void CWSSConn::writeText(const char* data, int len) {
    enqueue(reinterpret_cast<const unsigned char*>(data), len, false);
}

void CWSSConn::writeBinary(const unsigned char* data, int len) { enqueue(data, len, true); }

void CWSSConn::enqueue(const unsigned char* data, int len, bool binary) {
    if (len < 0 || (len > 0 && !data)) {
        lwsl_err("write of %d bytes from %p refused\n", len, static_cast<const void*>(data));
        return;
    }
    if (!active_) return; // nothing to send it on; it must not leak into a later connection
    sendQueue->push(makeOutMessage(data, static_cast<std::size_t>(len), binary));
    if (flushPending_.exchange(true)) return;
    std::shared_ptr<quorvex::transport::detail::EventLoop> loop;
    {
        std::lock_guard<std::mutex> guard(loopLock);
        loop = loop_;
    }
    if (loop) {
        loop->requestFlush(this);
    } else {
        flushPending_ = false;
    }
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

void CWSSConn::clearBuf() { sendQueue->clear(); }
