#include "send_path.h"

#include <libwebsockets.h>

#include "conn_fields.h"
#include "conn_handle.h"
#include "connections.h"
#include "event_loop.h"
#include "loop_thread.h"
#include "send_queue.h"

namespace quorvex::transport::detail {

namespace {
constexpr int kMaxWritesPerWritable = 16;
constexpr std::size_t kBatchBytes = 64 * 1024;
} // namespace

bool SendPath::writeBatch(ConnLink* link, SendQueue& queue) {
    batch_.resize(LWS_PRE);
    std::size_t messages = 0, bytes = 0;
    while (OutMessage* message = queue.front()) {
        if (message->payloadSize > batchLimit_ || batch_.size() >= kBatchBytes) break;
        std::uint8_t key[4];
        if (link->client()) maskKeys_.next(key);
        appendFrame(batch_, message->binary, message->payload(), message->payloadSize, link->client() ? key : nullptr);
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
    writeFrameHeader(frame, message->binary, message->payloadSize, mask);
    if (mask) maskPayload(message->payload(), message->payload(), message->payloadSize, mask);
    std::size_t length = header + message->payloadSize;
    if (lws_write(link->wsi, frame, length, LWS_WRITE_RAW) < static_cast<int>(length)) return false;
    ConnFields::countSent(*link->conn, 1, message->payloadSize);
    queue.popFront();
    return true;
}

int SendPath::onWritable(ConnLink* link) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    CWSSConn* conn = link->conn;
    if (!conn) return 0;
    SendQueue& queue = ConnFields::queue(*conn);
    for (int round = 0; round < kMaxWritesPerWritable && queue.front(); ++round) {
        bool small = queue.front()->payloadSize <= batchLimit_;
        if (!(small ? writeBatch(link, queue) : writeWhole(link, queue))) {
            lwsl_err("%s: write failed, closing\n", loop_.moduleName().c_str());
            return -1;
        }
        // libwebsockets keeps what the socket did not take; wait until it has left.
        if (lws_partial_buffered(link->wsi)) break;
    }
    ConnFields::touch(*conn);
    if (queue.size() > 0) {
        lws_callback_on_writable(link->wsi);
    } else if (ConnFields::handle(*conn).closeWhenSent.exchange(false)) {
        lws_close_reason(link->wsi, LWS_CLOSE_STATUS_NORMAL, nullptr, 0);
        return -1; // everything queued has left: close with a close frame
    }
    return 0;
}

} // namespace quorvex::transport::detail
