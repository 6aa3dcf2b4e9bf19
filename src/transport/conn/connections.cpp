// SPDX-License-Identifier: Apache-2.0
#include "transport/conn/connections.h"

#include <algorithm>

#include "platform/net.h"
#include "transport/wss_context.h"
#include "transport/conn/conn_fields.h"
#include "transport/conn/conn_handle.h"
#include "transport/conn/send_path.h"
#include "transport/loop/loop_core.h"
#include "transport/loop/guarded.h"
#include "transport/loop/loop_thread.h"
#include "transport/io/send_queue.h"

namespace quorvex::transport::detail {

ConnLink* Connections::create(ConnLink::Kind kind, CWSSConn* conn, lws* wsi) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    auto owned = std::make_unique<ConnLink>(kind, conn, wsi, ConnFields::handle(*conn).limits.maxMessageBytes);
    ConnLink* link = owned.get();
    links_.emplace(link, std::move(owned));
    attach(conn);
    ConnFields::handle(*conn).link = link;
    return link;
}

ConnLink* Connections::find(void* user) const {
    auto* link = static_cast<ConnLink*>(user);
    return links_.count(link) ? link : nullptr;
}

ConnLink* Connections::linkOf(const CWSSConn* conn) const {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    return ConnFields::handle(const_cast<CWSSConn&>(*conn)).link;
}

void Connections::unlink(CWSSConn* conn) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    ConnFields::handle(*conn).link = nullptr;
}

void Connections::forget(ConnLink* link) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    links_.erase(link);
}

// Asked for every command about a connection (each audio frame's flush):
// a flat hashed lookup, where the context's ordered set walks a tree.
bool Connections::attached(CWSSConn* conn) const {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    return attached_.contains(conn);
}

void Connections::attach(CWSSConn* conn) {
    loop_.owner()->getAll().insert(conn);
    attached_.insert(conn);
}

void Connections::unattach(CWSSConn* conn) {
    loop_.owner()->getAll().erase(conn);
    attached_.erase(conn);
}

void Connections::settleOpen(ConnLink* link, lws* wsi) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!link->opened(wsi, steadyMillis())) return;
    CWSSConn* conn = link->conn;
    if (!conn) {
        killAsync(wsi); // the owner went away while connecting
        return;
    }
    // The queue has been LoopOnly since the attempt began: what the open
    // event writes leaves first, ahead of anything other threads wrote.
    SendQueue& queue = ConnFields::queue(*conn);
    ConnFields::markOpen(*conn, loop_.owner(), wsi);
    guarded("onEstablished", [&] { conn->onEstablished(); });
    if (link->conn != conn) return; // detached by its own event
    queue.openGate();
    if (queue.front()) lws_callback_on_writable(wsi);
}

// Non-zero: the peer answered our close, so libwebsockets must not answer
// it with one more.
int Connections::onPeerClose(ConnLink* link, const void* in, std::size_t len) {
    const auto* bytes = static_cast<const unsigned char*>(in);
    int code = len >= 2 ? (bytes[0] << 8) | bytes[1] : 1005; // 1005: no status in the frame
    std::size_t reasonLength = len > 2 ? std::min<std::size_t>(len - 2, 123) : 0;
    // A normal close is no news: at thousands of sessions it would be a line each.
    if (code != LWS_CLOSE_STATUS_NORMAL)
        lwsl_notice("%s: peer closed the connection: %d %.*s\n", loop_.moduleName().c_str(), code,
                    static_cast<int>(reasonLength), reasonLength ? reinterpret_cast<const char*>(bytes + 2) : "");
    bool answersOurs = link->closeFrameWritten();
    link->peerClosed(); // closing now: nothing more, not even a ping, goes out
    return answersOurs ? 1 : 0;
}

// libwebsockets sends a close frame only from a writable callback: the send
// path writes it once the queue is empty (at once when what is queued is
// dropped), and a peer that takes nothing more is cut off after a short grace.
void Connections::close(ConnLink* link, Closing how, int status, const std::string& reason) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    constexpr int kCloseFrameGraceSeconds = 2;
    if (!link->wsi || !loop_.lwsContext()) return;
    if (link->kind == ConnLink::Kind::Http) how = Closing::AtOnce; // no close frame there
    if (!link->close(how, status, reason)) return;
    switch (how) {
    case Closing::AtOnce:
        killAsync(link->wsi);
        return;
    case Closing::Now:
        if (link->conn) ConnFields::queue(*link->conn).discardAll(); // nothing more leaves after the close
        setLwsTimeout(link->wsi, PENDING_TIMEOUT_USER_REASON_BASE, kCloseFrameGraceSeconds);
        break;
    case Closing::AfterSending:
        break; // a peer that stops reading meets the send queue's cap
    }
    lws_callback_on_writable(link->wsi);
}

void Connections::closeEvery() {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    std::vector<ConnLink*> all;
    all.reserve(links_.size());
    for (auto& entry : links_) all.push_back(entry.first);
    // A close's callbacks may end other connections: only records still here are touched.
    for (ConnLink* link : all)
        if (links_.count(link) && link->wsi) killNow(link->wsi);
}

void Connections::cutOffEvery() {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    for (auto& entry : links_)
        if (entry.first->wsi) platform::shutDownSocket(lws_get_socket_fd(entry.first->wsi));
}

void Connections::settleClose(ConnLink* link) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (link->phase == ConnLink::Phase::Connecting || !link->closed()) return; // a failed attempt is the connector's
    CWSSConn* conn = link->conn;
    link->conn = nullptr; // a client's owner may free it as soon as onClose has signalled
    if (!conn) return;
    conn->uninit();
    ConnFields::queue(*conn).discardAll(); // uninit closed it; the loop frees what it held
    ConnHandle& handle = ConnFields::handle(*conn);
    handle.link = nullptr;
    handle.active = false;
    const ConnLink* outerLink = closing_;
    const CWSSConn* outerConn = closingConn_;
    closing_ = link;
    closingConn_ = conn;
    guarded("onClose", [&] { conn->onClose(); });
    closing_ = outerLink;
    closingConn_ = outerConn;
    if (!link->client()) freeOwned(conn); // touch nothing of a client's after onClose
}

TransportEnd Connections::endOf(CWSSConn* conn) const {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (conn == closingConn_) return closing_->end;
    const ConnLink* link = linkOf(conn);
    return link ? link->end : TransportEnd::None;
}

void Connections::onHeard(ConnLink* link) { link->heard(steadyMillis()); }

void Connections::onPong(ConnLink* link) {
    int roundTrip = link->ponged(steadyMillis());
    if (roundTrip >= 0 && link->conn) ConnFields::handle(*link->conn).pingRoundTripMs.store(roundTrip);
}

void Connections::releaseOwned(ConnLink* link) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    CWSSConn* conn = link->conn;
    link->conn = nullptr;
    if (conn && !link->client()) freeOwned(conn);
}

void Connections::freeOwned(CWSSConn* conn) {
    loop_.takeListed();
    unattach(conn);
    ConnFields::handle(*conn).link = nullptr;
    delete conn;
}

int Connections::onReceive(ConnLink* link, const void* in, std::size_t len) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!link->conn) return 0;
    onHeard(link);
    if (link->closeFrameWritten()) return 0; // after our close: not delivered
    lws* wsi = link->wsi;
    switch (link->rx.add(lws_is_first_fragment(wsi), lws_is_final_fragment(wsi), lws_frame_is_binary(wsi), in,
                         len)) {
    case MessageAssembler::Outcome::Partial:
        break;
    case MessageAssembler::Outcome::Complete:
        deliver(link);
        break;
    case MessageAssembler::Outcome::TooBig:
        lwsl_err("%s: incoming message over %zu bytes, closing\n", loop_.moduleName().c_str(), link->rx.limit());
        link->end = TransportEnd::MessageTooLarge;
        close(link, Closing::Now, LWS_CLOSE_STATUS_MESSAGE_TOO_LARGE, "message too big");
        break;
    }
    return 0;
}

void Connections::deliver(ConnLink* link) {
    CWSSConn* conn = link->conn;
    std::string message = link->rx.take();
    ConnFields::countReceived(*conn, message.size());
    if (link->rx.binary()) {
        guarded("onBinaryData", [&] {
            conn->onBinaryData(reinterpret_cast<const unsigned char*>(message.data()), static_cast<int>(message.size()));
        });
    } else {
        guarded("onTextData", [&] { conn->onTextData(message.data(), static_cast<int>(message.size())); });
    }
    link->rx.recycle(std::move(message));
}

void Connections::requestFlush(CWSSConn* conn) {
    if (loop_.onLoopThread()) { // maybe inside this connection's own callback: write when it is writable
        flushNow(conn, false);
        return;
    }
    ConnHandle& handle = ConnFields::handle(*conn);
    if (!loop_.flushSoon(handle.ready)) handle.flushPending = false;
}

// A listed connection may have gone since (only its address is looked at
// then), or been replaced by another at the same address, whose flush is
// merely early.
void Connections::flushReady(CWSSConn* const* first, std::size_t count) {
    QUORVEX_ASSERT_ON_LOOP_THREAD(loop_);
    for (std::size_t i = 0; i < count; ++i) {
        if (attached(first[i])) flushNow(first[i], true);
    }
}

bool Connections::flushNow(CWSSConn* conn, bool direct) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    ConnHandle& handle = ConnFields::handle(*conn);
    // A read-modify-write: it acquires what every writer that found the
    // flag set had queued before (the writers' exchanges form its release sequence).
    handle.flushPending.exchange(false, std::memory_order_acq_rel);
    ConnLink* link = handle.link;
    if (!link || !loop_.lwsContext()) return true;
    if (handle.overflowed.load() && link->sending()) {
        lwsl_err("%s: send queue over %zu bytes: the peer is not reading, closing\n", loop_.moduleName().c_str(),
                 ConnFields::queue(*conn).capBytes());
        close(link, Closing::AtOnce);
        return true;
    }
    if (!link->sending() && !link->closeFrameDue()) return true;
    if (direct) return sendPath_.writeNow(link);
    lws_callback_on_writable(link->wsi);
    return false;
}

void Connections::requestClose(CWSSConn* conn, Closing how, int status, std::string reason, lws* boundTo) {
    loop_.runHereOrPost([this, conn, how, status, reason = std::move(reason), boundTo] {
        if (!attached(conn) || (boundTo && !ConnFields::isBoundTo(*conn, boundTo))) return;
        if (ConnLink* link = linkOf(conn)) close(link, how, status, reason);
    });
}

void Connections::detach(CWSSConn* conn) {
    loop_.runOnLoop([this, conn] { detachNow(conn); });
}

void Connections::detachNow(CWSSConn* conn) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!attached(conn)) return;
    loop_.takeListed();
    unattach(conn);
    ConnHandle& handle = ConnFields::handle(*conn);
    if (ConnLink* link = handle.link) {
        link->conn = nullptr;
        if (link->wsi && link->phase != ConnLink::Phase::Closed && loop_.lwsContext()) killAsync(link->wsi);
        handle.link = nullptr;
    }
    ConnFields::unbind(*conn);
    handle.active = false;
}

} // namespace quorvex::transport::detail
