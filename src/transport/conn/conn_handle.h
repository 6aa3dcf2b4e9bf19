// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_CONN_HANDLE_H
#define QUORVEX_TRANSPORT_CONN_CONN_HANDLE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/loop/ready_stack.h"
#include "transport/wss_context.h"
#include "transport/wss_limits.h"
#include "transport/wss_route.h"
#include "transport/conn/connect_failure.h"
#include "transport/conn/transport_end.h"

namespace quorvex::transport::detail {

struct ConnLink;

// The transport's own state of one CWSSConn, kept across its connections.
// The connection object holds it by pointer; only the transport's internals
// read or write it.
struct ConnHandle {
    // The loop the connection was last opened on; a connection that outlives
    // its loop keeps it alive, so late calls simply fail to post.
    std::shared_ptr<CWSSContext::Loop> loop() {
        std::lock_guard<std::mutex> guard(loopLock);
        return loop_;
    }
    void setLoop(std::shared_ptr<CWSSContext::Loop> loop) {
        std::lock_guard<std::mutex> guard(loopLock);
        if (loop == loop_) return;
        std::shared_ptr<CWSSContext::Loop> previous = std::move(loop_);
        loop_ = std::move(loop);
        writersLoop_.store(loop_.get());
        // A writer counted in may hold the previous loop: kept until none is.
        if (writersIn_.load() == 0) {
            retired_.clear();
        } else {
            retired_.push_back(std::move(previous));
        }
    }

    // The loop as a writer sees it, without a lock: the writer counts itself
    // in, then reads the pointer (both sequentially consistent); setLoop
    // publishes the new pointer, then reads the count. Either the writer's
    // count comes first in the single total order, and setLoop keeps the old
    // loop alive, or its read comes after the new pointer and it takes that.
    class WriterLoop {
    public:
        explicit WriterLoop(ConnHandle& handle) : handle_(handle) {
            handle_.writersIn_.fetch_add(1);
            loop_ = handle_.writersLoop_.load();
        }
        ~WriterLoop() { handle_.writersIn_.fetch_sub(1, std::memory_order_release); }
        WriterLoop(const WriterLoop&) = delete;
        WriterLoop& operator=(const WriterLoop&) = delete;
        CWSSContext::Loop* get() const { return loop_; }

    private:
        ConnHandle& handle_;
        CWSSContext::Loop* loop_;
    };

    // Set by CWSSClient: this object opens its own connections.
    bool client = false;
    // Loop thread only: the libwebsockets side of the current connection.
    ConnLink* link = nullptr;
    // An attempt or connection is in progress; writes are accepted.
    std::atomic<bool> active{false};
    // A flush request is on its way to the loop.
    std::atomic<bool> flushPending{false};
    // The connection's place in its loop's list of connections to write.
    ReadyEntry ready;
    // Close with a close frame once the send queue has drained.
    std::atomic<bool> closeWhenSent{false};
    // The next client connections accept any server certificate.
    std::atomic<bool> noSslVerify{false};
    // A write found the send queue full; the loop closes the connection.
    std::atomic<bool> overflowed{false};
    // Set before a connection opens (connect, or the server's factory);
    // read on the loop thread.
    tagWSSLimits limits;
    tagWSSRoute route;
    // Loop thread only: why the last client attempt failed, for onConnectErr.
    ConnectFailure connectFailure;
    // Loop thread only: the status and reason of the close frame this side sends.
    int closeCode = 1000;
    std::string closeReason;
    // Loop thread only: the current request's body passed the limit.
    bool bodyRefused = false;
    // Loop thread only: our close frame has been written.
    bool closeFrameSent = false;
    // Loop thread only: when the current connection last received anything
    // and was last pinged (steadyMillis), and whether the transport itself ended it.
    std::uint64_t lastReceivedMs = 0;
    std::uint64_t lastPingMs = 0;
    bool pingOutstanding = false; // loop thread: a ping of ours awaits its pong
    // The last ping's round trip, -1 before any; read by any thread.
    std::atomic<int> pingRoundTripMs{-1};
    bool closeRequested = false; // by this side: gracefully or at once
    TransportEnd transportEnd = TransportEnd::None;
    // The request is a HEAD: answered as a GET is, without the body.
    bool headOnly = false;

private:
    std::mutex loopLock; // guards loop_ and retired_
    std::shared_ptr<CWSSContext::Loop> loop_;
    std::vector<std::shared_ptr<CWSSContext::Loop>> retired_; // earlier loops a writer may still hold
    std::atomic<CWSSContext::Loop*> writersLoop_{nullptr};   // loop_, for writers
    std::atomic<int> writersIn_{0};
};

} // namespace quorvex::transport::detail

#endif
