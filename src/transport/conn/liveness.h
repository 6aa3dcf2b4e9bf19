// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_LIVENESS_H
#define QUORVEX_TRANSPORT_CONN_LIVENESS_H

#include <libwebsockets.h>

namespace quorvex::transport::detail {

class Connections;
class LoopCore;
class SendPath;

// Given to libwebsockets for every connection: its own idle timers off.
inline const lws_retry_bo_t kNoIdleTimers{};

// Finds dead peers: a connection that has heard nothing (no message, no
// pong) for its ping time is pinged, and one still silent at its hang-up
// time is cut. One sweep over the open connections a few times a second
// costs less than libwebsockets' own idle timers, which re-sort a list of
// every connection's timer on each message received.
class Liveness {
public:
    static constexpr unsigned int kSweepMs = 250;

    Liveness(LoopCore& loop, Connections& connections, SendPath& sendPath)
        : loop_(loop), connections_(connections), sendPath_(sendPath) {}
    void sweep(); // loop

private:
    LoopCore& loop_;
    Connections& connections_;
    SendPath& sendPath_;
};

} // namespace quorvex::transport::detail

#endif
