// SPDX-License-Identifier: Apache-2.0
#include "transport/engine/conn_control.h"

#include "transport/conn/conn_fields.h"
#include "transport/conn/conn_handle.h"
#include "transport/engine/event_loop.h"
#include "transport/io/send_queue.h"

namespace quorvex::transport::detail {

void setConnLimits(CWSSConn& conn, const tagWSSLimits& limits) { ConnFields::handle(conn).limits = limits; }

void setConnRoute(CWSSConn& conn, const tagWSSRoute& route) {
    ConnHandle& handle = ConnFields::handle(conn);
    handle.route = route;
    handle.noSslVerify = !route.verify;
}

ConnectFailure connectFailure(CWSSConn& conn) { return ConnFields::handle(conn).connectFailure; }

std::uint64_t sendConnection(CWSSConn& conn) { return ConnFields::queue(conn).connection(); }

void writeBinaryFor(CWSSConn& conn, std::uint64_t connection, const ByteSpan* pieces, std::size_t count) {
    ConnFields::writeFor(conn, connection, pieces, count, true);
}

void writeTextFor(CWSSConn& conn, std::uint64_t connection, const char* text, int len) {
    ByteSpan whole{reinterpret_cast<const unsigned char*>(text), static_cast<std::size_t>(len)};
    if (len >= 0) ConnFields::writeFor(conn, connection, &whole, 1, false);
}

bool sendQueueOverflowed(CWSSConn& conn) { return ConnFields::handle(conn).overflowed.load(); }

std::size_t queuedBytes(CWSSConn& conn) { return ConnFields::queue(conn).bytes(); }

int pingRoundTripMs(CWSSConn& conn) { return ConnFields::handle(conn).pingRoundTripMs.load(std::memory_order_relaxed); }

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
