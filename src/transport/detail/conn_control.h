#ifndef QUORVEX_TRANSPORT_DETAIL_CONN_CONTROL_H
#define QUORVEX_TRANSPORT_DETAIL_CONN_CONTROL_H

#include "../wss_limits.h"

class CWSSConn;

namespace quorvex::transport::detail {

// What the library's own connection classes may ask of the transport
// beyond the wrapper's interface. Any thread.

// Bounds for the connection's next attempt; set before connect.
void setConnLimits(CWSSConn& conn, const tagWSSLimits& limits);
// A write found the send queue full since the connection opened.
bool sendQueueOverflowed(CWSSConn& conn);
// Closes at once, without the close hand-shake: for a peer that missed a
// deadline and would likely miss the next one too.
void closeAtOnce(CWSSConn& conn);

} // namespace quorvex::transport::detail

#endif
