// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_WSS_LIMITS_H
#define QUORVEX_TRANSPORT_WSS_LIMITS_H

#include <cstddef>

// Bounds of one connection. The defaults leave a healthy peer untouched and
// end a dead, silent or non-reading one within seconds.
struct tagWSSLimits {
    // Client connections: name lookup, TCP, TLS and WebSocket upgrade.
    unsigned int connectTimeoutMs = 10000;
    // Payload bytes waiting for the socket. A write beyond it is refused and
    // the connection closes: a peer that does not read is not buffered for.
    std::size_t sendQueueBytes = 2u << 20;
    // One incoming message; a larger one closes the connection with 1009.
    std::size_t maxMessageBytes = 64u << 20;
    // Server contexts: one HTTP request body; a larger one is answered 413
    // and the connection closes, before the body is held in memory.
    std::size_t maxBodyBytes = 64u << 20;
    // Server contexts: accepted connections open at once (HTTP and
    // WebSocket). One more is closed as soon as it is accepted, so a flood
    // is refused promptly instead of queueing; 0: no cap of our own.
    unsigned int maxConnections = 0;
    // Nothing received (no message, no pong) for this long: the peer is pinged...
    unsigned short pingAfterSeconds = 10;
    // ...and hangs up when still nothing has come back.
    unsigned short hangUpAfterSeconds = 20;
};

#endif
