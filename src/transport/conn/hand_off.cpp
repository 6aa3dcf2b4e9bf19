// SPDX-License-Identifier: Apache-2.0
#include "transport/conn/hand_off.h"

#include <utility>

#include "transport/conn/conn_fields.h"
#include "transport/conn/conn_handle.h"
#include "transport/engine/event_loop.h"

namespace quorvex::transport::detail {

namespace {
bool onItsLoop(CWSSContext::Loop* loop) { return loop && loop->onLoopThread(); }

void settle(CWSSConn& conn, CWSSContext::Loop* loop, SendQueue::Push outcome) {
    ConnHandle& handle = ConnFields::handle(conn);
    switch (outcome) {
    case SendQueue::Push::Dropped:
        return; // no connection to send it on: it must not leak into a later one
    case SendQueue::Push::Full:
        // The peer does not read: fail now rather than buffer without end.
        if (handle.overflowed.exchange(true)) return;
        break;
    case SendQueue::Push::Accepted:
        break;
    }
    if (handle.flushPending.exchange(true)) return;
    if (loop) {
        loop->connections().requestFlush(&conn);
    } else {
        handle.flushPending = false;
    }
}
} // namespace

void handOff(CWSSConn& conn, const ByteSpan* pieces, std::size_t count, bool binary, std::uint64_t connection) {
    ConnHandle::WriterLoop loop(ConnFields::handle(conn));
    auto outcome = ConnFields::queue(conn).push(pieces, count, binary, onItsLoop(loop.get()), connection);
    settle(conn, loop.get(), outcome);
}

SendQueue::Claim claimHandOff(CWSSConn& conn, std::size_t size, bool binary, std::uint64_t connection) {
    ConnHandle::WriterLoop loop(ConnFields::handle(conn));
    return ConnFields::queue(conn).claim(size, binary, onItsLoop(loop.get()), connection);
}

void commitHandOff(CWSSConn& conn, SendQueue::Claim claim) {
    ConnHandle::WriterLoop loop(ConnFields::handle(conn));
    settle(conn, loop.get(), ConnFields::queue(conn).commit(std::move(claim)));
}

} // namespace quorvex::transport::detail
