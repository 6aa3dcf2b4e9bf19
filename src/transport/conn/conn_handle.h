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

namespace quorvex::transport::detail {

struct ConnLink;

// What application threads and the loop share of one CWSSConn, kept across
// its connections: the loop it is on, whether writes are accepted and the
// writers' flush request. The rest of a connection is the loop's alone
// (ConnLink). The connection object holds it by pointer; only the
// transport's internals read or write it.
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
    // Loop thread only: the record of the current connection, whose state
    // is the loop's alone; bound and unbound by Connections only.
    ConnLink* link = nullptr;
    // An attempt or connection is in progress; writes are accepted.
    std::atomic<bool> active{false};
    // A flush request is on its way to the loop.
    std::atomic<bool> flushPending{false};
    // The connection's place in its loop's list of connections to write.
    ReadyEntry ready;
    // A write found the send queue full; the loop closes the connection.
    std::atomic<bool> overflowed{false};
    // The last ping's round trip, -1 before any; read by any thread.
    std::atomic<int> pingRoundTripMs{-1};
    // The next attempt's settings: set before a connection opens (connect,
    // or the server's factory), read on the loop thread after.
    std::atomic<bool> noSslVerify{false};
    tagWSSLimits limits;
    tagWSSRoute route;

private:
    std::mutex loopLock; // guards loop_ and retired_
    std::shared_ptr<CWSSContext::Loop> loop_;
    std::vector<std::shared_ptr<CWSSContext::Loop>> retired_; // earlier loops a writer may still hold
    std::atomic<CWSSContext::Loop*> writersLoop_{nullptr};   // loop_, for writers
    std::atomic<int> writersIn_{0};
};

} // namespace quorvex::transport::detail

#endif
