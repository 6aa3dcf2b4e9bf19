// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_CONNECTIONS_H
#define QUORVEX_TRANSPORT_CONN_CONNECTIONS_H

#include <libwebsockets.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "transport/conn/connect_failure.h"
#include "transport/conn/pointer_set.h"
#include "transport/io/message_assembler.h"

class CWSSConn;

namespace quorvex::transport::detail {

class LoopCore;
class SendPath;
struct ConnHandle;

// The libwebsockets side of one connection: the record whose address is the
// wsi's user pointer. Owned by the loop; it outlives the CWSSConn's interest
// in it (conn is cleared when the owner detaches), and the wsi's final
// destroy event settles whatever is left and frees it.
struct ConnLink {
    enum class Kind {
        Client,    // opened by a CWSSClient, which owns conn
        WebSocket, // accepted upgrade; the loop owns conn
        Http,      // accepted plain HTTP connection; the loop owns conn
    };
    enum class Phase { Connecting, Open, Done };

    ConnLink(Kind kind, CWSSConn* conn, lws* wsi, std::size_t maxMessageBytes)
        : kind(kind), conn(conn), wsi(wsi), rx(maxMessageBytes) {}
    bool client() const { return kind == Kind::Client; }

    const Kind kind;
    CWSSConn* conn;
    lws* wsi;
    Phase phase = Phase::Connecting;
    std::uint64_t attempt = 0; // client connections: the attempt it carries
    AttemptProgress progress;  // client connections: how far the attempt got
    bool tls = false;          // client connections: wss://
    std::string certifiedAddress; // client wss:// to an IP address, verified: the address the certificate must name
    lws_vhost* vhost = nullptr;   // client connections: the vhost of their CAs, held while they live
    MessageAssembler rx;
    std::size_t bodyBytes = 0;   // HTTP: body of the current request so far
};

// Every connection record of one loop and the connection objects attached
// to it: creation, lookup, the open and close events, and the requests other
// threads make of a connection. Loop thread only unless marked.
class Connections {
public:
    Connections(LoopCore& loop, SendPath& sendPath) : loop_(loop), sendPath_(sendPath) {}

    // The one place a connection record is made; attaches conn to the context.
    ConnLink* create(ConnLink::Kind kind, CWSSConn* conn, lws* wsi);
    ConnLink* find(void* user) const;
    void forget(ConnLink* link);
    bool attached(CWSSConn* conn) const;
    void attach(CWSSConn* conn);
    void unattach(CWSSConn* conn);

    void settleOpen(ConnLink* link, lws* wsi);
    void settleClose(ConnLink* link);
    // Logs the close code and reason a peer sent.
    int onPeerClose(ConnLink* link, const void* in, std::size_t len);
    // Closes with a close frame as soon as the socket takes one; what is
    // still queued is dropped.
    void closeGracefully(CWSSConn* conn, lws* wsi, int status = 1000, const char* reason = "");
    // Frees a connection object the loop owns, after its last event.
    void releaseOwned(ConnLink* link);
    int onReceive(ConnLink* link, const void* in, std::size_t len);

    // Loop: writes the queues of the connections listed.
    void flushReady(CWSSConn* const* first, std::size_t count);
    // Any thread.
    void requestFlush(CWSSConn* conn);
    void requestClose(CWSSConn* conn, lws* wsi);
    // Closes at once, without a close frame: the peer is not reading.
    void requestKill(CWSSConn* conn);
    void detach(CWSSConn* conn); // synchronous: no event reaches conn afterwards

    // A pong or any message: the peer is alive.
    void onHeard(ConnLink* link);
    // A pong: alive, and the round trip of our last ping.
    void onPong(ConnLink* link);
    // Loop: every open WebSocket connection that still has its object.
    template <typename Visit>
    void forEachOpen(Visit visit) {
        for (auto& entry : links_) {
            ConnLink* link = entry.first;
            if (link->kind != ConnLink::Kind::Http && link->phase == ConnLink::Phase::Open && link->conn &&
                link->wsi)
                visit(link);
        }
    }

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
};

} // namespace quorvex::transport::detail

#endif
