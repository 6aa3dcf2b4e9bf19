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
        ConnHandle& handle = ConnFields::handle(*link->conn);
        if (handle.closeWhenSent || handle.closeRequested) return; // ending already, on its own deadline
        const tagWSSLimits& limits = handle.limits;
        std::uint64_t silentMs = now - handle.lastReceivedMs;
        if (limits.hangUpAfterSeconds && silentMs >= limits.hangUpAfterSeconds * 1000ull) {
            handle.transportEnd = TransportEnd::PeerSilent;
            handle.closeRequested = true;
            killAsync(link->wsi);
        } else if (limits.pingAfterSeconds && silentMs >= limits.pingAfterSeconds * 1000ull &&
                   now - handle.lastPingMs >= limits.pingAfterSeconds * 1000ull) {
            handle.lastPingMs = now;
            handle.pingOutstanding = true;
            sendPath_.writePing(link);
        }
    });
}

} // namespace quorvex::transport::detail
