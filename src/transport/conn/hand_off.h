// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_HAND_OFF_H
#define QUORVEX_TRANSPORT_CONN_HAND_OFF_H

#include <cstddef>
#include <cstdint>

#include "transport/transport_control.h"
#include "transport/io/send_queue.h"

class CWSSConn;

namespace quorvex::transport::detail {

// A write on any thread, without a lock anywhere: the message goes into the
// connection's send queue, the connection onto its loop's list (unless a
// flush is already on its way), and the loop is woken (unless a wake-up is).
// A write past the cap marks the connection overflowed and lists it all the
// same: the loop, not the writer, logs it and closes the connection.
// connection: the send queue's connection it is for; 0, whichever is open.
void handOff(CWSSConn& conn, const ByteSpan* pieces, std::size_t count, bool binary, std::uint64_t connection);

// The same in two steps, with the payload filled in between: what a writer
// stopped in the middle of its hand-off has done, and what it has not.
SendQueue::Claim claimHandOff(CWSSConn& conn, std::size_t size, bool binary, std::uint64_t connection);
void commitHandOff(CWSSConn& conn, SendQueue::Claim claim);

} // namespace quorvex::transport::detail

#endif
