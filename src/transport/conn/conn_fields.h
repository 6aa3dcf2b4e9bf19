// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_CONN_FIELDS_H
#define QUORVEX_TRANSPORT_CONN_CONN_FIELDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "transport/transport_control.h"
#include "transport/wss_client.h"
#include "transport/wss_conn.h"

namespace quorvex::transport::detail {

class SendQueue;
struct ConnHandle;

std::uint64_t nowMillis();    // ms since the Unix epoch: for timestamps shown to callers
std::uint64_t steadyMillis(); // ms on a clock that never steps: for measuring silences

// The one way into a connection's fields whose place in the exported class
// is fixed: the loop maintains its counters, addresses and HTTP request
// state. Loop thread only, except handle() and queue().
class ConnFields {
public:
    static ConnHandle& handle(CWSSConn& conn) { return *conn.handle_; }
    static SendQueue& queue(CWSSConn& conn) { return *conn.sendQueue; }
    // One message given in pieces, as writeBinary and writeText hand one off,
    // for the send queue's connection given only.
    static void writeFor(CWSSConn& conn, std::uint64_t connection, const ByteSpan* pieces, std::size_t count,
                         bool binary) {
        conn.enqueue(pieces, count, binary, connection);
    }
    static std::vector<std::uint64_t>& pendingAttempts(CWSSClient& client) { return client.pendingAttempts; }

    // A new connection's queue: empty, what the open event writes leaving
    // ahead of other threads' writes; no overflow yet. Any thread.
    static void prepareQueue(CWSSConn& conn);
    // Binds the connection to its wsi and records when and where it opened.
    static void markOpen(CWSSConn& conn, CWSSContext* context, lws* wsi);
    // Unbinds the connection from a wsi that is going away.
    static void unbind(CWSSConn& conn);
    // Whether the connection is still bound to the wsi given.
    static bool isBoundTo(CWSSConn& conn, lws* wsi);

    static void countReceived(CWSSConn& conn, std::size_t bytes);
    static void countSent(CWSSConn& conn, std::size_t messages, std::size_t bytes);
    static void touch(CWSSConn& conn) { conn.lastActiveTime = nowMillis(); }

    // A new HTTP request on the connection starts with no body or arguments.
    static void beginHttpRequest(CWSSConn& conn);
    static bool isPost(const CWSSConn& conn) { return conn.method == 1; }
    static bool hasResponse(const CWSSConn& conn) { return !conn.response.empty(); }
    // The current request is a HEAD: answered as a GET is, without the body.
    static bool headOnly(CWSSConn& conn);
    // The transport refused the current request's body (413).
    static bool bodyRefused(CWSSConn& conn);
};

} // namespace quorvex::transport::detail

#endif
