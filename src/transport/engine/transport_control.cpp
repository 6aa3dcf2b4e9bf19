// SPDX-License-Identifier: Apache-2.0
#include "transport/transport_control.h"

#include "transport/conn/conn_fields.h"
#include "transport/conn/conn_handle.h"
#include "transport/engine/event_loop.h"
#include "transport/io/send_queue.h"

namespace quorvex::transport {

using detail::ConnFields;
using detail::ConnHandle;

void setConnLimits(CWSSConn& conn, const tagWSSLimits& limits) { ConnFields::handle(conn).limits = limits; }

void setConnRoute(CWSSConn& conn, const tagWSSRoute& route) {
    ConnHandle& handle = ConnFields::handle(conn);
    handle.route = route;
    handle.noSslVerify = !route.verify;
}

ConnectFailure connectFailure(CWSSConn& conn) {
    auto loop = ConnFields::handle(conn).loop();
    return loop ? loop->connector().failureOf(&conn) : ConnectFailure{};
}

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

void close(CWSSConn& conn, Closing how, int status, const std::string& reason) {
    if (auto loop = ConnFields::handle(conn).loop()) loop->connections().requestClose(&conn, how, status, reason);
}

bool requestBodyRefused(CWSSConn& conn) { return ConnFields::bodyRefused(conn); }

TransportEnd transportEnd(CWSSConn& conn) {
    auto loop = ConnFields::handle(conn).loop();
    return loop ? loop->connections().endOf(&conn) : TransportEnd::None;
}

bool acceptingUpgrade(CWSSContext& context) {
    auto& loop = context.loop();
    return loop && loop->server().upgrading();
}

void refuseUpgradeWith(CWSSContext& context, unsigned int status, unsigned int retryAfterSeconds) {
    if (auto& loop = context.loop()) loop->server().answerRefusalWith(status, retryAfterSeconds);
}

std::size_t liveTimers(const CWSSContext& context) {
    auto& loop = context.loop();
    return loop ? loop->timers().live() : 0;
}

std::uint64_t connectionsRefused(const CWSSContext& context) {
    auto& loop = context.loop();
    return loop ? loop->server().refused() : 0;
}

} // namespace quorvex::transport
