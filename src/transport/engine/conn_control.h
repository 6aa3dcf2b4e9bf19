// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_CONN_CONTROL_H
#define QUORVEX_TRANSPORT_CONN_CONN_CONTROL_H

#include <cstdint>
#include <string>

#include "transport/conn/connect_failure.h"
#include "transport/conn/transport_end.h"
#include "transport/io/byte_span.h"
#include "transport/wss_limits.h"
#include "transport/wss_route.h"

class CWSSConn;
class CWSSContext;

namespace quorvex::transport::detail {

// What the library's own connection classes may ask of the transport
// beyond the wrapper's interface. Any thread.

// Bounds for the connection's next attempt; set before connect.
void setConnLimits(CWSSConn& conn, const tagWSSLimits& limits);
// Proxy and certificate checks of the client connection's next attempt;
// set before connect. Verification off accepts any server certificate.
void setConnRoute(CWSSConn& conn, const tagWSSRoute& route);
// Loop thread, in onConnectErr: why the attempt failed, proxy and TLS
// failures named as such; never a proxy's credentials.
ConnectFailure connectFailure(CWSSConn& conn);
// Any thread: the connection the send queue serves now. An application
// thread reads it before it checks that a session runs, and writes for it
// alone, so that nothing it accepted for one connection leaves on the next.
std::uint64_t sendConnection(CWSSConn& conn);
// Any thread: one binary message given in pieces, handed off as writeBinary
// does, or a text as writeText does, for that connection only.
void writeBinaryFor(CWSSConn& conn, std::uint64_t connection, const ByteSpan* pieces, std::size_t count);
void writeTextFor(CWSSConn& conn, std::uint64_t connection, const char* text, int len);
// A write found the send queue full since the connection opened.
bool sendQueueOverflowed(CWSSConn& conn);
// Any thread, without waiting for the loop: payload bytes waiting in the
// send queue, and the last ping's round trip in ms (-1 before any).
std::size_t queuedBytes(CWSSConn& conn);
int pingRoundTripMs(CWSSConn& conn);
// Sends what is queued, then closes with the status and reason given
// (RFC 6455: 1001 going away, 1008 policy, 1011 error, 1013 try later).
void closeWhenSent(CWSSConn& conn, int status, const std::string& reason);
// Loop thread, inside a server context's connection factory: whether the
// connection asked for is a WebSocket upgrade rather than a plain HTTP request.
bool acceptingUpgrade(CWSSContext& context);
// Timers of the context's loop not yet done (deadlines of its sessions).
std::size_t liveTimers(const CWSSContext& context);
// Connections a server context closed at once for its connection cap.
std::uint64_t connectionsRefused(const CWSSContext& context);
// Loop thread: the transport refused the current request's body (413) for
// passing the limit; for the connection's onHttpClose.
bool requestBodyRefused(CWSSConn& conn);
// Why the transport itself ended a connection; loop thread, in onClose.
TransportEnd transportEnd(CWSSConn& conn);
// Closes at once, without the close hand-shake: for a peer that missed a
// deadline and would likely miss the next one too.
void closeAtOnce(CWSSConn& conn);

} // namespace quorvex::transport::detail

#endif
