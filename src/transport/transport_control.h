// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_TRANSPORT_CONTROL_H
#define QUORVEX_TRANSPORT_TRANSPORT_CONTROL_H

// What the rest of the library and the server tool may ask of the transport
// beyond the wrapper's classes: nothing else of src/transport is theirs to
// include. Calls from other threads go through the loop's mailbox; none
// waits for the loop.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "transport/wss_limits.h"
#include "transport/wss_route.h"

class CWSSConn;
class CWSSContext;

// Borrowed bytes: one piece of a message that is copied in pieces. (Its
// name is in the exported wrapper's symbols, so it stays where it was.)
namespace quorvex::transport::detail {
struct ByteSpan {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};
} // namespace quorvex::transport::detail

namespace quorvex::transport {

using detail::ByteSpan;

// ---- Settings, checked on the caller's thread ------------------------------

struct WsUrl {
    bool tls = false;
    std::string host;       // without IPv6 brackets
    int port = 0;
    std::string path;       // always starts with '/'
    std::string hostHeader; // host, bracketed for IPv6, plus ":port" when not the default
};
// Accepts ws:// and wss:// (any case) with a host, an optional port 1-65535
// and an optional path (with its query) that fits the request line. Rejects
// control characters and spaces anywhere, so nothing can be smuggled into
// the handshake. On refusal, *why says what is wrong.
std::optional<WsUrl> parseWsUrl(const std::string& url, const char** why = nullptr);

// What an application chose; unset strings fall back to the environment
// only when it asked for that.
struct ProxyChoice {
    std::string wsProxy;
    std::string wssProxy;
    std::string noProxy;
    bool noProxySet = false;
    bool useEnvironment = false;
};
// Whether text is a proxy URL the transport can tunnel through.
bool isProxyUrl(const std::string& text, const char** why);
// Sets route's proxy for one connection to url (none: direct), curl's way
// with the environment. False, with *why, when the setting that applies is
// not a proxy URL: the connection is refused rather than sent direct.
bool chooseProxy(const WsUrl& url, const ProxyChoice& choice, tagWSSRoute& route, const char** why);
// Reads a PEM file of CA certificates whole. Null, with *why, for a file
// that cannot be read, holds no certificate, or one that does not parse.
std::shared_ptr<const tagWSSCaBundle> readCaBundle(const std::string& path, const char** why);
// The line after libwebsockets' own "[date time] L: " prefix, when it has one.
const char* afterLwsTimestamp(const char* line);

// ---- One connection ----------------------------------------------------------

// Which step of a client connection attempt failed, as far as the
// transport can tell.
enum class ConnectFailureKind {
    Other,          // none below: a broken handshake, a peer that hung up, the context closing
    Refused,        // TCP refused, or the address unreachable
    NameUnknown,    // the server's host name did not resolve
    ConnectTimeout, // no TCP connection before the deadline
    AnswerTimeout,  // connected, but the tunnel, TLS or upgrade did not complete before the deadline
    Tls,            // the TLS handshake failed, the certificate check aside
    Certificate,    // the server's certificate failed verification
    Proxy,          // the proxy could not be reached, did not resolve, or refused the tunnel
    UpgradeRefused, // the server answered the WebSocket upgrade with an HTTP status
};

struct ConnectFailure {
    ConnectFailureKind kind = ConnectFailureKind::Other;
    int httpStatus = 0;        // the proxy's or the server's HTTP status, 0 when none came or it is unknown
    int retryAfterSeconds = 0; // the server's Retry-After with a refused upgrade, 0 none
    std::string text;          // for users and the log; never a proxy's credentials
};

// Why the transport itself ended a connection.
enum class TransportEnd {
    None,            // the peer or the application ended it
    MessageTooLarge, // an incoming message passed the limit (close 1009)
    PeerSilent,      // nothing heard for the hang-up time, pings unanswered
};

// The one way a connection is ended by this side, softest first: a later,
// harder way overrides an earlier one.
enum class Closing {
    AfterSending, // what is queued leaves, then the close frame
    Now,          // the close frame as soon as the socket takes one; what is queued is dropped
    AtOnce,       // no close frame: for a peer that missed a deadline and would likely miss the next
};

// Bounds and route of the connection's next attempt; set before connect.
// Verification off accepts any server certificate.
void setConnLimits(CWSSConn& conn, const tagWSSLimits& limits);
void setConnRoute(CWSSConn& conn, const tagWSSRoute& route);
// Loop thread, in onConnectErr: why the attempt failed, proxy and TLS
// failures named as such; never a proxy's credentials.
ConnectFailure connectFailure(CWSSConn& conn);
// Any thread: the connection the send queue serves now. An application
// thread reads it before it checks that a session runs, and writes for it
// alone, so that nothing it accepted for one connection leaves on the next.
std::uint64_t sendConnection(CWSSConn& conn);
// Any thread, without a lock: one binary message given in pieces, handed
// off as writeBinary does, or a text as writeText does, for that connection only.
void writeBinaryFor(CWSSConn& conn, std::uint64_t connection, const ByteSpan* pieces, std::size_t count);
void writeTextFor(CWSSConn& conn, std::uint64_t connection, const char* text, int len);
// A write found the send queue full since the connection opened.
bool sendQueueOverflowed(CWSSConn& conn);
// Any thread, without waiting for the loop: payload bytes waiting in the
// send queue, and the last ping's round trip in ms (-1 before any).
std::size_t queuedBytes(CWSSConn& conn);
int pingRoundTripMs(CWSSConn& conn);
// Any thread: ends the connection as told, with the status and reason of
// the close frame (RFC 6455: 1001 going away, 1008 policy, 1011 error, 1013
// try later; the reason cut to fit the frame).
void close(CWSSConn& conn, Closing how, int status = 1000, const std::string& reason = "");
// Loop thread: the transport refused the current request's body (413) for
// passing the limit; for the connection's onHttpClose.
bool requestBodyRefused(CWSSConn& conn);
// Loop thread, in onClose: why the transport itself ended the connection.
TransportEnd transportEnd(CWSSConn& conn);

// ---- A context -------------------------------------------------------------------

// Loop thread, inside a server context's connection factory: whether the
// connection asked for is a WebSocket upgrade rather than a plain HTTP
// request; and, before it returns null, the status that refuses it (with
// Retry-After when non-zero) instead of 404.
bool acceptingUpgrade(CWSSContext& context);
void refuseUpgradeWith(CWSSContext& context, unsigned int status, unsigned int retryAfterSeconds);
// Any thread: timers of the context's loop not yet done (deadlines of its sessions).
std::size_t liveTimers(const CWSSContext& context);
// Any thread: connections a server context closed at once for its connection cap.
std::uint64_t connectionsRefused(const CWSSContext& context);

} // namespace quorvex::transport

#endif
