// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_CONNECTIONS_H
#define QUORVEX_TRANSPORT_CONN_CONNECTIONS_H

#include <libwebsockets.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "transport/conn/conn_link.h"
#include "transport/conn/pointer_set.h"

class CWSSConn;

namespace quorvex::transport::detail {

class LoopCore;
class SendPath;
struct ConnHandle;

// Every connection record of one loop and the connection objects attached
// to it: creation, lookup, the open and close events, and the requests other
// threads make of a connection. Loop thread only unless marked.
class Connections {
public:
    Connections(LoopCore& loop, SendPath& sendPath) : loop_(loop), sendPath_(sendPath) {}

    // The one place a connection record is made; attaches conn to the context.
    ConnLink* create(ConnLink::Kind kind, CWSSConn* conn, lws* wsi);
    ConnLink* find(void* user) const;
    // The record of conn's current connection, if any; only Connections
    // binds one, and a failed attempt unlinks it.
    ConnLink* linkOf(const CWSSConn* conn) const;
    void unlink(CWSSConn* conn);
    void forget(ConnLink* link);
    bool attached(CWSSConn* conn) const;
    void attach(CWSSConn* conn);
    void unattach(CWSSConn* conn);

    void settleOpen(ConnLink* link, lws* wsi);
    void settleClose(ConnLink* link);
    // Logs the close code and reason a peer sent.
    int onPeerClose(ConnLink* link, const void* in, std::size_t len);
    // Loop: the one way this side ends a connection.
    void close(ConnLink* link, Closing how, int status = 1000, const std::string& reason = "");
    // Frees a connection object the loop owns, after its last event.
    void releaseOwned(ConnLink* link);
    int onReceive(ConnLink* link, const void* in, std::size_t len);

    // Loop: writes the queues of the connections listed.
    void flushReady(CWSSConn* const* first, std::size_t count);
    // Any thread: the way in for other threads. A flush of what conn's
    // writers queued, a close of its current connection (only while bound
    // to boundTo, when given), a detach that returns once no event can
    // reach conn any more.
    void requestFlush(CWSSConn* conn);
    void requestClose(CWSSConn* conn, Closing how, int status, std::string reason, lws* boundTo = nullptr);
    void detach(CWSSConn* conn);

    // A pong or any message: the peer is alive.
    void onHeard(ConnLink* link);
    // A pong: alive, and the round trip of our last ping.
    void onPong(ConnLink* link);
    // Loop, at shutdown: every connection with a socket closes now, its
    // close reported before this returns unless libwebsockets keeps it to
    // flush its own buffer; libwebsockets frees the records on the loop's
    // next passes.
    void closeEvery();
    bool any() const { return !links_.empty(); }
    // Loop, at shutdown, for those closeEvery did not end (libwebsockets
    // keeps one to flush what it buffered): their sockets are shut down, so
    // that the next write fails and libwebsockets closes them.
    void cutOffEvery();
    // Loop: every open WebSocket connection that still has its object.
    template <typename Visit>
    void forEachOpen(Visit visit) {
        for (auto& entry : links_) {
            ConnLink* link = entry.first;
            if (link->kind != ConnLink::Kind::Http && link->open() && link->conn && link->wsi)
                visit(link);
        }
    }

    // Loop, in a connection's onClose: why the transport itself ended it.
    TransportEnd endOf(CWSSConn* conn) const;

private:
    void freeOwned(CWSSConn* conn);
    // conn is alive (its writer's own, or found attached). direct: outside
    // any connection's callback, so the queue may go straight to the
    // socket. False when the loop has more to do for it.
    bool flushNow(CWSSConn* conn, bool direct);
    void detachNow(CWSSConn* conn);
    void deliver(ConnLink* link);

    LoopCore& loop_;
    SendPath& sendPath_;
    std::unordered_map<ConnLink*, std::unique_ptr<ConnLink>> links_;
    PointerSet<CWSSConn> attached_; // the members of the context's set
    // The connection whose onClose runs: its record is no longer conn's.
    const ConnLink* closing_ = nullptr;
    const CWSSConn* closingConn_ = nullptr;
};

} // namespace quorvex::transport::detail

#endif
