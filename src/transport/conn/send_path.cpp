// SPDX-License-Identifier: Apache-2.0
#include "transport/conn/send_path.h"

#include <libwebsockets.h>

#include "transport/conn/conn_fields.h"
#include "transport/conn/conn_link.h"
#include "transport/loop/loop_core.h"
#include "transport/loop/guarded.h"
#include "transport/loop/loop_thread.h"
#include "transport/io/send_queue.h"

namespace quorvex::transport::detail {

namespace {
constexpr int kMaxWritesPerWritable = 16;
} // namespace

bool SendPath::writeBatch(ConnLink* link, SendQueue& queue) {
    batch_.resize(LWS_PRE);
    std::size_t messages = 0, bytes = 0;
    while (OutMessage* message = queue.front()) {
        if (message->payloadSize > batchLimit_ || batch_.size() >= kBatchBytes) break;
        std::uint8_t key[4];
        if (link->client()) maskKeys_.next(key);
        appendFrame(batch_, dataOpcode(message->binary), message->payload(), message->payloadSize,
                    link->client() ? key : nullptr);
        bytes += message->payloadSize;
        ++messages;
        queue.popFront();
    }
    if (messages == 0) return true;
    std::size_t length = batch_.size() - LWS_PRE;
    if (lws_write(link->wsi, batch_.data() + LWS_PRE, length, LWS_WRITE_RAW) < static_cast<int>(length)) return false;
    ConnFields::countSent(*link->conn, messages, bytes);
    return true;
}

// A large message leaves as one frame without a copy: its header goes into
// the headroom in front of the payload, which is masked in place.
bool SendPath::writeWhole(ConnLink* link, SendQueue& queue) {
    OutMessage* message = queue.front();
    std::uint8_t key[4];
    const std::uint8_t* mask = nullptr;
    if (link->client()) {
        maskKeys_.next(key);
        mask = key;
    }
    std::size_t header = frameHeaderSize(message->payloadSize, mask != nullptr);
    unsigned char* frame = message->payload() - header;
    writeFrameHeader(frame, dataOpcode(message->binary), message->payloadSize, mask);
    if (mask) maskPayload(message->payload(), message->payload(), message->payloadSize, mask);
    std::size_t length = header + message->payloadSize;
    if (lws_write(link->wsi, frame, length, LWS_WRITE_RAW) < static_cast<int>(length)) return false;
    ConnFields::countSent(*link->conn, 1, message->payloadSize);
    queue.popFront();
    return true;
}

SendPath::Drained SendPath::drain(ConnLink* link, SendQueue& queue, int maxWrites) {
    for (int round = 0; round < maxWrites && queue.front(); ++round) {
        // A message alone leaves from where it lies; only several small ones are worth a copy.
        bool batch = queue.smallPairAtFront(batchLimit_);
        if (!(batch ? writeBatch(link, queue) : writeWhole(link, queue))) {
            lwsl_err("%s: write failed, closing\n", loop_.moduleName().c_str());
            return Drained::Failed;
        }
        // libwebsockets keeps what the socket did not take; wait until it has left.
        if (lws_partial_buffered(link->wsi)) break;
    }
    ConnFields::touch(*link->conn);
    // What the loop can see: a message still being linked is listed by its
    // writer once it is, so the loop need not poll for it.
    return queue.front() ? Drained::More : Drained::Empty;
}

// Straight to the socket, without waiting for the loop to report it
// writable: that wait costs two epoll changes and a pass per message. Only
// what the socket cannot take now waits for the writable callback, which
// also does the closing.
bool SendPath::writeNow(ConnLink* link) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    CWSSConn* conn = link->conn;
    if (!conn) return true;
    if (lws_partial_buffered(link->wsi)) {
        lws_callback_on_writable(link->wsi);
        return false;
    }
    switch (drain(link, ConnFields::queue(*conn), kMaxWritesPerWritable)) {
    case Drained::Failed:
        killAsync(link->wsi);
        return false;
    case Drained::More:
        lws_callback_on_writable(link->wsi);
        return false;
    case Drained::Empty:
        if (link->closeFrameDue()) {
            lws_callback_on_writable(link->wsi);
            return false;
        }
        return !lws_partial_buffered(link->wsi); // libwebsockets keeps a rest for the writable event
    }
    return false;
}

// One control frame, whole, in one raw write (masked on client connections).
bool SendPath::writeControl(ConnLink* link, Opcode opcode, const unsigned char* payload, std::size_t size) {
    std::uint8_t key[4];
    if (link->client()) maskKeys_.next(key);
    batch_.resize(LWS_PRE);
    appendFrame(batch_, opcode, payload, size, link->client() ? key : nullptr);
    std::size_t length = batch_.size() - LWS_PRE;
    return lws_write(link->wsi, batch_.data() + LWS_PRE, length, LWS_WRITE_RAW) >= static_cast<int>(length);
}

void SendPath::writePing(ConnLink* link) {
    if (lws_partial_buffered(link->wsi)) return;
    // With a payload: libwebsockets does not report an empty pong.
    static const unsigned char kPayload[] = {'q', 'v'};
    if (!writeControl(link, Opcode::Ping, kPayload, sizeof kPayload)) killAsync(link->wsi);
}

int SendPath::onWritable(ConnLink* link) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    CWSSConn* conn = link->conn;
    if (!conn) return 0;
    Drained drained = drain(link, ConnFields::queue(*conn), kMaxWritesPerWritable);
    if (drained == Drained::Failed) return -1;
    if (drained == Drained::More) {
        lws_callback_on_writable(link->wsi);
    } else if (link->closeFrameDue()) {
        return writeCloseFrame(link);
    }
    return 0;
}

// Everything queued has left: the close frame goes the same way as the
// messages did, because on its libuv loop libwebsockets closed the socket
// without sending its own. Then, as RFC 6455 asks, the socket stays until
// the peer's close arrives (or a short grace passes): closing it with input
// unread would reset the connection and drop what the kernel had not sent.
int SendPath::writeCloseFrame(ConnLink* link) {
    constexpr int kCloseAckGraceSeconds = 2;
    if (!link->closeFrameDue()) return 0;
    link->markCloseFrameWritten();
    ConnFields::queue(*link->conn).discardAll(); // nothing may follow the close frame
    const int code = link->closeCode();
    const std::string& reason = link->closeReason();
    std::vector<unsigned char> payload{static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code)};
    payload.insert(payload.end(), reason.begin(), reason.end());
    if (!writeControl(link, Opcode::Close, payload.data(), payload.size())) return -1;
    setLwsTimeout(link->wsi, PENDING_TIMEOUT_CLOSE_ACK, kCloseAckGraceSeconds);
    return 0;
}

} // namespace quorvex::transport::detail
