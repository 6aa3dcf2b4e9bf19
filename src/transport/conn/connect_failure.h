// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_CONNECT_FAILURE_H
#define QUORVEX_TRANSPORT_CONN_CONNECT_FAILURE_H

#include <string>

namespace quorvex::transport::detail {

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

// How far a client attempt got before it ended: what the loop saw of it.
struct AttemptProgress {
    bool tcpConnected = false; // to the server, or to the proxy
    bool upgradeSent = false;  // the tunnel and TLS are done: the upgrade request went out
    int certificateError = 0;  // OpenSSL's verification error, 0 none
    unsigned long tlsError = 0; // OpenSSL's error of a failed handshake, 0 none
    int httpStatus = 0;        // the status that answered the upgrade, 0 none
    int retryAfterSeconds = 0;
};

} // namespace quorvex::transport::detail

#endif
