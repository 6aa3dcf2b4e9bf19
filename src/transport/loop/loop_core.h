// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_LOOP_LOOP_CORE_H
#define QUORVEX_TRANSPORT_LOOP_LOOP_CORE_H

#include <libwebsockets.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "transport/loop/log_context.h"
#include "transport/loop/mailbox.h"
#include "transport/loop/timer_set.h"

class CWSSContext;
class CWSSConn;
struct tagWSSvrConfig;
struct uv_loop_s;

namespace quorvex::transport::detail {

// What the core reports to the layers above it; every call on the loop thread.
class LoopEvents {
public:
    // The libwebsockets context exists; false fails the start (a server that cannot listen).
    virtual bool onContextCreated(const tagWSSvrConfig& config, lws_context_creation_info& info) = 0;
    virtual void onStarted() = 0;  // commands may be posted from here on
    virtual void onStopping() = 0; // before the context goes
    // Before a teardown that must run no listener code: every connection
    // closes now, its callbacks on this thread; true while any is left.
    // Without connections of its own, nothing.
    virtual void closeEveryConnection() {}
    virtual bool connectionsLeft() const { return false; }
    // Those still not closed after that (libwebsockets keeps one until it
    // has flushed its own buffer): their sockets are shut down.
    virtual void cutOffConnectionsLeft() {}
    virtual void onContextGone() = 0;
    // Connections other threads listed as having something to write: the
    // next slice of the list, count of them from first.
    virtual void onFlushes(CWSSConn* const* first, std::size_t count) = 0;
    // Every libwebsockets callback but the loop's own wake-up and poll notes.
    virtual int onLwsEvent(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len) = 0;

protected:
    ~LoopEvents() = default;
};

struct LoopSettings {
    unsigned int readBufferBytes = 4096;  // the context's socket reads (and the server's frames)
    unsigned int frameBufferBytes = 512;  // each client connection's frame buffer
    std::size_t txPacketBytes = 64 * 1024; // the largest raw write
    bool listening = false;
    // How long the loop watches its list after the last listing, rather than
    // being woken by each writer; 0: it is always woken.
    std::uint64_t watchIdleMs = 100;
    // The default vhost's client TLS context, the caller's to free once the
    // loop has ended; null: libwebsockets makes one.
    SSL_CTX* clientTls = nullptr;
};

// One event-loop thread: a libuv loop that libwebsockets joins through its
// libuv plugin, the mailbox other threads reach it through, its timers, and
// the libwebsockets callback, which it answers for the loop's own concerns
// and hands on otherwise. The services the layers above are given.
class LoopCore {
public:
    using Command = Mailbox::Command;
    static constexpr const char* kProtocolName = "quorvex-ws";
    // Connections written per pass; the rest of the list waits for the next one.
    static constexpr std::size_t kFlushSlice = 128;
    // A saturated loop starts a round longer than a slice at most this often.
    static constexpr std::uint64_t kBusyRoundMs = 20;
    // Saturated: busy for more than the first share of a window, until less
    // than the second.
    static constexpr std::uint64_t kLoadWindowMs = 200;
    static constexpr double kSaturatedFrom = 0.9, kSaturatedUntil = 0.75;

    LoopCore(CWSSContext* owner, LoopEvents& events);
    ~LoopCore();
    LoopCore(const LoopCore&) = delete;
    LoopCore& operator=(const LoopCore&) = delete;

    bool start(const tagWSSvrConfig& config, const LoopSettings& settings);
    void stop(); // any thread but the loop's; joins it
    bool onLoopThread() const { return loopThread_.load() == std::this_thread::get_id(); }

    // Any thread. False when the loop no longer runs commands.
    bool post(Command command) { return mailbox_.post(std::move(command)); }
    // Any thread: the command runs now on the loop thread, else is posted.
    bool runHereOrPost(Command command) {
        if (!onLoopThread()) return post(std::move(command));
        command();
        return true;
    }
    bool flushSoon(ReadyEntry& entry) { return mailbox_.flushSoon(entry); }
    // Any thread: whether the loop looks at its list on its own now.
    bool watchingList() const { return mailbox_.watching(); }
    // Loop, before a connection object is freed or detached: whatever is
    // listed is taken now, so that no entry of a gone object stays in the
    // mailbox's list, and flushed with the next list (its wake-up is pending).
    // Not into ready_, which may be being walked.
    void takeListed() { mailbox_.takeReady(takenEarly_); }
    // Any thread; runs the command on the loop and returns when it has run
    // (at once when called on the loop thread).
    void runOnLoop(const Command& command);

    TimerSet& timers() { return timers_; }
    CWSSContext* owner() const { return owner_; }
    lws_context* lwsContext() const { return context_; } // loop; null once destroyed
    uv_loop_s* events() const { return uv_.get(); }      // loop: the libuv loop under it
    const lws_protocols* protocols() const { return protocols_.data(); }
    const std::string& moduleName() const { return moduleName_; }
    // Loop: a libwebsockets timeout was set, maybe outside its service.
    void lwsTimeoutSet() { lwsTimeoutSet_ = true; }
    // Loop, after work done outside libwebsockets' service (our timers, the
    // watch's tick): libwebsockets re-arms its own timers (a close at once is
    // one) only after it has serviced an event, so give it one.
    void letLwsRearmItsTimers();

private:
    static int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len);
    void run(const tagWSSvrConfig& config, const std::function<void(bool)>& ready);
    bool createLwsContext(const tagWSSvrConfig& config);
    void onWake();
    void onWatchTick();
    void pass(bool woken);
    void noteLoad();
    bool roundTooSoon() const;
    void writeSlice(bool goingOn);
    void shutDown();
    void closeEvents();
    void destroyLwsContext();
    void destroyLwsContextHere();
    bool destroyLwsContextApart();
    bool runWhileConnectionsLeft();
    void runUntilIdle();

    CWSSContext* owner_;
    LoopEvents& events_;
    LoopSettings settings_;
    std::string moduleName_;
    std::vector<lws_protocols> protocols_;
    LwsLogContext log_; // outlives context_
    lws_context* context_ = nullptr;
    int eventPipe_ = -1; // libwebsockets' cancel-service eventfd, where it leaks it (4.3)
    // libuv (epoll) under libwebsockets: a pass costs what is ready, not a
    // poll() over every socket.
    std::unique_ptr<uv_loop_s> uv_;
    std::thread thread_;
    std::atomic<std::thread::id> loopThread_{};
    std::atomic<bool> stopRequested_{false};
    bool lwsTimeoutSet_ = false; // loop
    bool shuttingDown_ = false;  // loop
    Mailbox mailbox_;
    std::vector<CWSSConn*> ready_; // loop: the connections being flushed, kept for its capacity
    std::size_t readyAt_ = 0;      // loop: the first of ready_ not yet flushed
    // Loop: the pacing of rounds under load. Busy: saturated, and the last
    // round was longer than a slice.
    bool busyRound_ = false, loadMeasured_ = false, saturated_ = false;
    std::chrono::steady_clock::time_point roundStarted_{}, loadWindowStart_{};
    std::uint64_t loadWindowIdleNs_ = 0; // libuv's idle time when the window began
    std::vector<CWSSConn*> takenEarly_; // loop: listed connections taken by takeListed
    TimerSet timers_;
};

} // namespace quorvex::transport::detail

#endif
