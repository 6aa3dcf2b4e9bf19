// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_TRANSPORT_END_H
#define QUORVEX_TRANSPORT_CONN_TRANSPORT_END_H

namespace quorvex::transport::detail {

// Why the transport itself ended a connection.
enum class TransportEnd {
    None,            // the peer or the application ended it
    MessageTooLarge, // an incoming message passed the limit (close 1009)
    PeerSilent,      // nothing heard for the hang-up time, pings unanswered
};

} // namespace quorvex::transport::detail

#endif
