// SPDX-License-Identifier: Apache-2.0
#include "transport/conn/conn_fields.h"

#include <libwebsockets.h>

#include <chrono>

#include "platform/net.h"
#include "transport/conn/conn_handle.h"
#include "transport/conn/conn_link.h"
#include "transport/wss_context.h"
#include "transport/io/send_queue.h"


namespace quorvex::transport::detail {

namespace {

void readEndpoint(platform::Socket socket, bool local, std::string& address, std::atomic<unsigned short>& port) {
    unsigned short number = 0;
    if (platform::endpointOf(socket, local, address, number)) port = number;
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
    auto socket = static_cast<platform::Socket>(lws_get_socket_fd(wsi));
    readEndpoint(socket, true, conn.localAddr, conn.localPort);
    readEndpoint(socket, false, conn.peerAddr, conn.peerPort);
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

bool ConnFields::headOnly(CWSSConn& conn) {
    const ConnLink* link = conn.handle_->link;
    return link && link->headOnly;
}

bool ConnFields::bodyRefused(CWSSConn& conn) {
    const ConnLink* link = conn.handle_->link;
    return link && link->bodyRefused;
}

// contentType is kept, so a request without a Content-Type header inherits
// the previous one.
void ConnFields::beginHttpRequest(CWSSConn& conn) {
    conn.requestBody.clear();
    conn.uriArgs.clear();
}

} // namespace quorvex::transport::detail
