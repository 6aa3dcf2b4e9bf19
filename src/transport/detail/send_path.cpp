#include "send_path.h"

#include <libwebsockets.h>

#include <algorithm>

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
        if (message->sent > 0 || message->payloadSize > txFragmentSize_ || batch_.size() >= kBatchBytes) break;
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

bool SendPath::writeFragment(ConnLink* link, SendQueue& queue) {
    OutMessage* message = queue.front();
    std::size_t remaining = message->payloadSize - message->sent;
    std::size_t chunk = std::min<std::size_t>(remaining, txFragmentSize_);
    bool first = message->sent == 0;
    bool last = chunk == remaining;
    int flags = lws_write_ws_flags(message->binary ? LWS_WRITE_BINARY : LWS_WRITE_TEXT, first, last);
    if (lws_write(link->wsi, message->payload() + message->sent, chunk, static_cast<lws_write_protocol>(flags)) <
        static_cast<int>(chunk))
        return false;
    message->sent += chunk;
    if (last) {
        ConnFields::countSent(*link->conn, 1, message->payloadSize);
        queue.popFront();
    }
    return true;
}

int SendPath::onWritable(ConnLink* link) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    CWSSConn* conn = link->conn;
    if (!conn) return 0;
    SendQueue& queue = ConnFields::queue(*conn);
    for (int round = 0; round < kMaxWritesPerWritable && queue.front(); ++round) {
        OutMessage* message = queue.front();
        bool whole = message->sent == 0 && message->payloadSize <= txFragmentSize_;
        if (!(whole ? writeBatch(link, queue) : writeFragment(link, queue))) {
            lwsl_err("%s: write failed, closing\n", loop_.moduleName().c_str());
            return -1;
        }
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
