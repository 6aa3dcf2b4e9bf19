// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_CONNECT_FAILURE_H
#define QUORVEX_TRANSPORT_CONN_CONNECT_FAILURE_H

#include "transport/transport_control.h"

namespace quorvex::transport::detail {

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
