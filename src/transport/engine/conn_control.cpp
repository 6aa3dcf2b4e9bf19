// SPDX-License-Identifier: Apache-2.0
#include "transport/engine/conn_control.h"

#include "transport/conn/conn_fields.h"
#include "transport/conn/conn_handle.h"
#include "transport/engine/event_loop.h"

namespace quorvex::transport::detail {

void setConnLimits(CWSSConn& conn, const tagWSSLimits& limits) { ConnFields::handle(conn).limits = limits; }

void setConnRoute(CWSSConn& conn, const tagWSSRoute& route) {
    ConnHandle& handle = ConnFields::handle(conn);
    handle.route = route;
    handle.noSslVerify = !route.verify;
}

ConnectFailure connectFailure(CWSSConn& conn) { return ConnFields::handle(conn).connectFailure; }

void writeBinaryPieces(CWSSConn& conn, const ByteSpan* pieces, std::size_t count) {
    ConnFields::writeBinaryPieces(conn, pieces, count);
}

bool sendQueueOverflowed(CWSSConn& conn) { return ConnFields::handle(conn).overflowed.load(); }

void closeWhenSent(CWSSConn& conn, int status, const std::string& reason) {
    auto loop = ConnFields::handle(conn).loop();
    if (!loop) return;
    CWSSConn* target = &conn;
    auto close = [loop, target, status, reason] {
        if (!loop->connections().attached(target)) return;
        ConnHandle& handle = ConnFields::handle(*target);
        handle.closeCode = status;
        handle.closeReason = reason.substr(0, 123); // a close frame's payload is at most 125 bytes
        target->closeWhenSent();
    };
    if (loop->onLoopThread()) {
        close();
    } else {
        loop->post(close);
    }
}

bool requestBodyRefused(CWSSConn& conn) { return ConnFields::handle(conn).bodyRefused; }

bool acceptingUpgrade(CWSSContext& context) {
    auto& loop = context.loop();
    return loop && loop->server().upgrading();
}

std::size_t liveTimers(const CWSSContext& context) {
    auto& loop = context.loop();
    return loop ? loop->timers().live() : 0;
}

std::uint64_t connectionsRefused(const CWSSContext& context) {
    auto& loop = context.loop();
    return loop ? loop->server().refused() : 0;
}

TransportEnd transportEnd(CWSSConn& conn) { return ConnFields::handle(conn).transportEnd; }

void closeAtOnce(CWSSConn& conn) {
    if (auto loop = ConnFields::handle(conn).loop()) loop->connections().requestKill(&conn);
}

} // namespace quorvex::transport::detail
