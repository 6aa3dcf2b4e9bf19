// SPDX-License-Identifier: Apache-2.0
#include "transport/conn/liveness.h"

#include "transport/conn/conn_fields.h"
#include "transport/conn/conn_handle.h"
#include "transport/conn/connections.h"
#include "transport/conn/send_path.h"
#include "transport/loop/loop_core.h"
#include "transport/loop/guarded.h"
#include "transport/loop/loop_thread.h"

namespace quorvex::transport::detail {

void Liveness::sweep() {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!loop_.lwsContext()) return;
    std::uint64_t now = steadyMillis(); // a step of the wall clock must not look like silence
    connections_.forEachOpen([&](ConnLink* link) {
        const tagWSSLimits& limits = ConnFields::handle(*link->conn).limits;
        if (limits.hangUpAfterSeconds && link->silentFor(now) >= limits.hangUpAfterSeconds * 1000ull) {
            link->end = TransportEnd::PeerSilent;
            connections_.close(link, Closing::AtOnce);
        } else if (limits.pingAfterSeconds && link->silentFor(now) >= limits.pingAfterSeconds * 1000ull &&
                   link->sincePing(now) >= limits.pingAfterSeconds * 1000ull) {
            link->pinged(now);
            sendPath_.writePing(link);
        }
    });
}

} // namespace quorvex::transport::detail
