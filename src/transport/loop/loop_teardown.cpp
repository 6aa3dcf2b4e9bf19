// SPDX-License-Identifier: Apache-2.0
// The loop's end: its connections, its libwebsockets context and its libuv
// loop are closed, on the loop thread, before stop() returns.
#include <uv.h>

#include <atomic>
#include <thread>

#include "platform/descriptor_table.h"
#include "platform/system.h"
#include "transport/loop/guarded.h"
#include "transport/loop/loop_core.h"

namespace quorvex::transport::detail {

// libuv closes handles asynchronously, on later passes. Bounded: a handle
// that never closes must not hang the caller of stop().
void LoopCore::runUntilIdle() {
    for (int pass = 0; pass < 1000 && uv_run(uv_.get(), UV_RUN_NOWAIT) != 0; ++pass) {
    }
}

void LoopCore::closeEvents() {
    runUntilIdle();
    if (uv_loop_close(uv_.get()) != 0) {
        lwsl_err("%s: event loop handles still open at exit; the loop is leaked\n", moduleName_.c_str());
        (void)uv_.release();
        return;
    }
    uv_.reset();
}

void LoopCore::destroyLwsContext() {
#if defined(QUORVEX_LWS_CLOSES_EVENT_PIPE_TWICE)
    if (destroyLwsContextApart()) return;
#endif
    destroyLwsContextHere();
}

// On a loop of our own, libwebsockets closes its libuv handles on the next
// passes and finishes (descriptors, memory) on a second call.
void LoopCore::destroyLwsContextHere() {
    lws_context_destroy(context_);
    runUntilIdle();
    lws_context_destroy(context_);
    context_ = nullptr;
    if (eventPipe_ >= 0 && platform::isEventDescriptor(eventPipe_)) platform::closeDescriptor(eventPipe_);
    eventPipe_ = -1;
}

#if defined(QUORVEX_LWS_CLOSES_EVENT_PIPE_TWICE)
// False when connections are still left after a bounded run of passes.
bool LoopCore::runWhileConnectionsLeft() {
    constexpr int kPasses = 1000;
    for (int pass = 0; pass < kPasses && events_.connectionsLeft(); ++pass) uv_run(uv_.get(), UV_RUN_NOWAIT);
    return !events_.connectionsLeft();
}

// libwebsockets 4.1 closes its cancel-service eventfd twice at destroy, the
// second time on a later pass: a socket or file another thread opened in
// between would be closed under it. The destroy runs in a descriptor table
// of its own, on a thread that stands in for this one meanwhile; listener
// code must not run there (what it opened would be lost to the process), so
// the connections close first, here, those libwebsockets keeps to flush cut
// off if need be. Where one still stays, or no table of its own can be had,
// the destroy runs here as it always did.
bool LoopCore::destroyLwsContextApart() {
    events_.closeEveryConnection();
    if (!runWhileConnectionsLeft()) {
        events_.cutOffConnectionsLeft();
        if (!runWhileConnectionsLeft()) {
            lwsl_warn("%s: connections still open at shutdown: the context is destroyed in the process's "
                      "descriptor table\n",
                      moduleName_.c_str());
            return false;
        }
    }
    std::thread::id self = std::this_thread::get_id();
    bool apart = platform::runInPrivateDescriptorTable([this] {
        loopThread_ = std::this_thread::get_id();
        destroyLwsContextHere();
    });
    loopThread_ = self;
    if (!apart) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            lwsl_warn("%s: no private descriptor table for the teardown (unshare refused?): another thread's "
                      "descriptor may be closed under it\n",
                      moduleName_.c_str());
    }
    return apart;
}
#endif

void LoopCore::shutDown() {
    // From here on passes that run during the shutdown run no commands and write nothing.
    shuttingDown_ = true;
    // A sender stalled inside a wake-up keeps the context allocated rather
    // than freed under it.
    bool mayFree = mailbox_.close(moduleName_);
    events_.onStopping();
    timers_.clear(); // pending ones are dropped: none may fire into a context being destroyed
    if (mayFree) {
        destroyLwsContext(); // open connections report their close on this thread
    } else {
        context_ = nullptr;
    }
    events_.onContextGone();
    // Commands that were still queued run against a closed loop: connects
    // fail, detaches complete, everything else finds nothing to do.
    for (auto& command : mailbox_.takeCommands()) guarded("loop command", command);
    mailbox_.dropReady();
    ready_.clear();
    takenEarly_.clear();
    readyAt_ = 0;
}

} // namespace quorvex::transport::detail
