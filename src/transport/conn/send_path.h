// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_SEND_PATH_H
#define QUORVEX_TRANSPORT_CONN_SEND_PATH_H

#include <cstddef>
#include <vector>

#include "transport/io/ws_frame.h"

namespace quorvex::transport::detail {

class LoopCore;
class SendQueue;
struct ConnLink;

// Writes a connection's queued messages when libwebsockets reports it
// writable. Every message leaves as one frame, framed (and masked, for
// client connections) here. Small ones leave several to one raw write,
// because one lws_write per message costs a syscall each.
class SendPath {
public:
    // One raw write holds at most this much of small messages.
    static constexpr std::size_t kBatchBytes = 64 * 1024;

    explicit SendPath(LoopCore& loop) : loop_(loop) {}
    // Messages up to this size are batched; before the loop starts.
    void setBatchLimit(unsigned int bytes) { batchLimit_ = bytes; }

    // Loop. Non-zero closes the connection.
    int onWritable(ConnLink* link);
    // Loop, outside the connection's own callbacks: writes what is queued
    // now. False when the loop has more to do for the connection (a rest to
    // write when the socket takes it, a close, a kill).
    bool writeNow(ConnLink* link);
    // Loop: a ping, unless the socket still holds part of an earlier write
    // (a peer that does not read is the send-queue cap's to end).
    void writePing(ConnLink* link);

private:
    enum class Drained { Empty, More, Failed };
    Drained drain(ConnLink* link, SendQueue& queue, int maxWrites);
    int writeCloseFrame(ConnLink* link);
    bool writeControl(ConnLink* link, Opcode opcode, const unsigned char* payload, std::size_t size);
    bool writeBatch(ConnLink* link, SendQueue& queue);
    bool writeWhole(ConnLink* link, SendQueue& queue);

    LoopCore& loop_;
    unsigned int batchLimit_ = 4096;
    std::vector<unsigned char> batch_; // frames of one raw write
    MaskKeys maskKeys_;
};

} // namespace quorvex::transport::detail

#endif
