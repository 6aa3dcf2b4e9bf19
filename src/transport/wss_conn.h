// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_WSS_CONN_H
#define QUORVEX_TRANSPORT_WSS_CONN_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "quorvex/export.h"

struct lws;
class CWSSContext;

namespace quorvex::transport::detail {
struct ByteSpan;
class ConnFields;
class SendQueue;
struct ConnHandle;
}

// One WebSocket (or HTTP) connection: send path, counters, event operations.
// Event operations run on the loop thread of the context that services it.
class QUORVEX_API CWSSConn {
public:
    CWSSConn();
    virtual ~CWSSConn();
    CWSSConn(const CWSSConn&) = delete;
    CWSSConn& operator=(const CWSSConn&) = delete;

    virtual void onEstablished();
    virtual void onTextData(const char* data, int len);
    virtual void onBinaryData(const unsigned char* data, int len);
    virtual void onClose();
    virtual void onAddHeader(lws* wsi, char* headers, unsigned int len);
    virtual void onHeader();
    virtual bool processRequest();
    virtual void onHttpClose();

    void init(CWSSContext* ctx, lws* wsi);
    void uninit();
    // Any thread: what is queued is dropped and a close frame (1000) leaves as
    // soon as the socket takes it (a peer that takes nothing is cut off after
    // 2 s); then onClose.
    void close();
    // Any thread: sends what is queued, then closes with status 1000 (close
    // frame), then onClose. For a server that answers before hanging up.
    void closeWhenSent();

    // Any thread. The bytes are copied; one message per call, sent as one
    // frame; a connection's messages leave in call order. Dropped when no
    // connection is open or opening; a write that would pass the send-queue
    // cap closes the connection instead. While a connection opens, what its
    // own open event writes leaves ahead of other threads' writes.
    void writeText(const char* data, int len);
    void writeBinary(const unsigned char* data, int len);

    unsigned long long getEstablishedTime(); // ms since the Unix epoch
    unsigned long long getLastActiveTime();  // ms since the Unix epoch
    unsigned long long getRcvPackets();
    unsigned long long getRcvBytes();
    unsigned long long getSndPackets();
    unsigned long long getSndBytes();
    const std::string& getLocalAddr();
    const std::string& getPeerAddr();
    unsigned short getLocalPort();
    unsigned short getPeerPort();
    unsigned short getSndQueueLen();

    void clearBuf();

    // HTTP request path (server connections, loop thread).
    bool processHttp(CWSSContext* ctx, lws* wsi, const char* in, int len);
    bool httpProcess();
    void appendBody(const char* data, int len);
    void onHttpWrite();
    void preProcess();

protected:
    quorvex::transport::detail::SendQueue* sendQueue;

    std::string response;
    int responseStatus;
    std::string responseContentType;
    bool requestProcessed;
    std::string requestUri;
    std::string uriArgs;
    std::string contentType;
    std::string requestBody;
    int method;

    std::mutex connLock; // guards wsi and connContext
    lws* wsi;
    CWSSContext* connContext;

    // Written on the loop thread, read anywhere.
    std::atomic<unsigned long long> establishedTime;
    std::atomic<unsigned long long> lastActiveTime;
    std::atomic<unsigned long long> rcvPackets;
    std::atomic<unsigned long long> rcvBytes;
    std::atomic<unsigned long long> sndPackets;
    std::atomic<unsigned long long> sndBytes;
    std::string localAddr; // set before onEstablished
    std::string peerAddr;
    std::atomic<unsigned short> localPort;
    std::atomic<unsigned short> peerPort;

private:
    friend class quorvex::transport::detail::ConnFields; // the loop maintains the fields above
    // connection: the send queue's connection the write was accepted for; 0: any.
    void enqueue(const quorvex::transport::detail::ByteSpan* pieces, std::size_t count, bool binary,
                 std::uint64_t connection = 0);

    quorvex::transport::detail::ConnHandle* handle_; // the transport's own state of this connection
};

#endif
