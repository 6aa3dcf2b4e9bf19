// SPDX-License-Identifier: Apache-2.0
#include "transport/conn/conn_fields.h"

#include <arpa/inet.h>
#include <libwebsockets.h>
#include <sys/socket.h>

#include <chrono>

#include "transport/conn/conn_handle.h"
#include "transport/wss_context.h"
#include "transport/io/send_queue.h"


namespace quorvex::transport::detail {

namespace {

void readEndpoint(int fd, bool local, std::string& address, std::atomic<unsigned short>& port) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    auto* raw = reinterpret_cast<sockaddr*>(&storage);
    int rc = local ? getsockname(fd, raw, &length) : getpeername(fd, raw, &length);
    if (rc != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (storage.ss_family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    address = text;
}

} // namespace

std::uint64_t nowMillis() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

std::uint64_t steadyMillis() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void ConnFields::prepareQueue(CWSSConn& conn) {
    ConnHandle& handle = *conn.handle_;
    handle.overflowed = false;
    handle.flushPending = false; // a flush listed for the previous connection may have found it detached
    conn.sendQueue->reset(SendQueue::Gate::LoopOnly, handle.limits.sendQueueBytes);
}

void ConnFields::markOpen(CWSSConn& conn, CWSSContext* context, lws* wsi) {
    conn.init(context, wsi);
    int fd = lws_get_socket_fd(wsi);
    readEndpoint(fd, true, conn.localAddr, conn.localPort);
    readEndpoint(fd, false, conn.peerAddr, conn.peerPort);
    conn.establishedTime = nowMillis();
    conn.lastActiveTime = conn.establishedTime.load();
}

void ConnFields::unbind(CWSSConn& conn) {
    std::lock_guard<std::mutex> guard(conn.connLock);
    conn.wsi = nullptr;
}

bool ConnFields::isBoundTo(CWSSConn& conn, lws* wsi) {
    std::lock_guard<std::mutex> guard(conn.connLock);
    return conn.wsi == wsi;
}

void ConnFields::countReceived(CWSSConn& conn, std::size_t bytes) {
    conn.rcvPackets.fetch_add(1, std::memory_order_relaxed);
    conn.rcvBytes.fetch_add(bytes, std::memory_order_relaxed);
    touch(conn);
}

void ConnFields::countSent(CWSSConn& conn, std::size_t messages, std::size_t bytes) {
    conn.sndPackets.fetch_add(messages, std::memory_order_relaxed);
    conn.sndBytes.fetch_add(bytes, std::memory_order_relaxed);
}

// contentType is kept, so a request without a Content-Type header inherits
// the previous one.
void ConnFields::beginHttpRequest(CWSSConn& conn) {
    conn.requestBody.clear();
    conn.uriArgs.clear();
}

} // namespace quorvex::transport::detail
