// SPDX-License-Identifier: Apache-2.0
#include "transport/loop/loop_core.h"

#include <uv.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

#include "platform/system.h"
#include "transport/loop/guarded.h"
#include "transport/loop/loop_thread.h"
#include "transport/wss_config.h"

namespace quorvex::transport::detail {

namespace {

#if defined(QUORVEX_LWS_LEAKS_EVENT_PIPE)
// libwebsockets 4.3 forgets to close its cancel-service eventfd when its
// loop is libuv's: the pipe's close clears the descriptor it would close at
// the end. It is the one eventfd libwebsockets watches with a uv_poll handle.
int findEventPipe(uv_loop_s* events) {
    int found = -1;
    uv_walk(
        events,
        [](uv_handle_t* handle, void* arg) {
            uv_os_fd_t fd;
            if (handle->type == UV_POLL && uv_fileno(handle, &fd) == 0 && platform::isEventDescriptor(fd))
                *static_cast<int*>(arg) = fd;
        },
        &found);
    return found;
}
#endif

} // namespace

void failLoopThreadCheck(const char* function) {
    std::fprintf(stderr, "quorvex: %s must run on the event-loop thread\n", function);
    std::abort();
}

LoopCore::LoopCore(CWSSContext* owner, LoopEvents& events) : owner_(owner), events_(events), timers_(*this) {}

LoopCore::~LoopCore() { stop(); }

// ---- lifecycle ---------------------------------------------------------------

bool LoopCore::start(const tagWSSvrConfig& config, const LoopSettings& settings) {
    settings_ = settings;
    moduleName_.assign(config.moduleName, strnlen(config.moduleName, sizeof config.moduleName));
    lws_protocols protocol{};
    protocol.name = kProtocolName;
    protocol.callback = &LoopCore::callback;
    protocol.rx_buffer_size = settings.listening ? settings.readBufferBytes : settings.frameBufferBytes;
    // Without it, libwebsockets cuts every send() to the frame buffer's size.
    protocol.tx_packet_size = settings.txPacketBytes;
    protocols_ = {protocol, lws_protocols{}};

    std::promise<bool> ready;
    auto started = ready.get_future();
    tagWSSvrConfig copy = config;
    thread_ = std::thread([this, copy, &ready] { run(copy, [&ready](bool ok) { ready.set_value(ok); }); });
    bool ok = started.get();
    if (!ok) thread_.join();
    return ok;
}

void LoopCore::stop() {
    if (!thread_.joinable()) return;
    if (onLoopThread()) {
        lwsl_err("%s: a context cannot be destroyed from its own loop thread\n", moduleName_.c_str());
        return;
    }
    stopRequested_ = true;
    mailbox_.wake();
    thread_.join();
}

void LoopCore::run(const tagWSSvrConfig& config, const std::function<void(bool)>& ready) {
    loopThread_ = std::this_thread::get_id();
    platform::nameThisThread("quorvex-loop");
    uv_ = std::make_unique<uv_loop_s>();
    if (uv_loop_init(uv_.get()) != 0) {
        uv_.reset();
        ready(false);
        return;
    }
    // Without the idle time the loop never counts as saturated.
    loadMeasured_ = uv_loop_configure(uv_.get(), UV_METRICS_IDLE_TIME) == 0;
    loadWindowStart_ = std::chrono::steady_clock::now();
    if (!createLwsContext(config)) {
        closeEvents();
        ready(false);
        return;
    }
    timers_.start(uv_.get());
    if (!mailbox_.open(
            uv_.get(), context_, [this] { onWake(); }, [this] { onWatchTick(); }, settings_.watchIdleMs)) {
        timers_.clear();
        destroyLwsContext();
        closeEvents();
        ready(false);
        return;
    }
    events_.onStarted();
    ready(true);
    // libuv waits; libwebsockets' pipe handle (or the mailbox's) keeps it running until onWake stops it.
    while (!stopRequested_.load()) uv_run(uv_.get(), UV_RUN_DEFAULT);
    shutDown();
    closeEvents();
}

bool LoopCore::createLwsContext(const tagWSSvrConfig& config) {
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protocols_.data();
    info.pt_serv_buf_size = std::max(settings_.readBufferBytes, 4096u); // the client handshake is built in it
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | static_cast<unsigned int>(config.lwsOptions);
    info.user = this;
    info.uid = config.uid;
    info.gid = config.gid;
    info.ka_time = config.keepAliveSeconds;
    info.ka_probes = config.keepAliveProbes;
    info.ka_interval = config.keepAliveInterval;
    if (config.timeoutSeconds > 0) info.timeout_secs = static_cast<unsigned int>(config.timeoutSeconds);
    std::string caFile(config.caFile, strnlen(config.caFile, sizeof config.caFile));
    if (!caFile.empty()) info.client_ssl_ca_filepath = caFile.c_str();
    info.provided_client_ssl_ctx = settings_.clientTls;
    if (settings_.listening) info.options |= LWS_SERVER_OPTION_EXPLICIT_VHOSTS;
    // Not http_proxy from the environment for every connection: clients
    // choose their proxy per connection (an empty host and port 0 is none).
    info.http_proxy_address = ":0";
    // libwebsockets' libuv plugin watches each socket on our own loop, and
    // leaves the process's signal handlers alone.
    void* foreignLoops[] = {uv_.get()};
    info.options |= LWS_SERVER_OPTION_LIBUV | LWS_SERVER_OPTION_UV_NO_SIGSEGV_SIGFPE_SPIN;
    info.foreign_loops = foreignLoops;
    log_.bind(info);
    context_ = lws_create_context(&info);
    if (!context_) {
        lwsl_err("%s: lws_create_context failed (libwebsockets' libuv plugin, libwebsockets-evlib-uv, is needed)\n",
                 moduleName_.c_str());
        return false;
    }
#if defined(QUORVEX_LWS_LEAKS_EVENT_PIPE)
    eventPipe_ = findEventPipe(uv_.get());
#endif
    if (!events_.onContextCreated(config, info)) {
        destroyLwsContext();
        return false;
    }
    return true;
}

// ---- the mailbox ---------------------------------------------------------------

void LoopCore::runOnLoop(const Command& command) {
    if (onLoopThread()) {
        command();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    if (!post([command, done] {
            command();
            done->set_value();
        }))
        return;
    try {
        finished.get();
    } catch (const std::future_error&) {
        // The loop dropped the command while shutting down.
    }
}

// The ready list is taken before the commands: a connection's connect,
// posted before its first write, has then run when its flush does. One
// batch of commands per wake-up: what is posted meanwhile waits for the
// next pass, after what the sockets have, so threads that post without
// pause cannot keep the loop from its connections. The list is written a
// slice per pass for the same reason: between two slices libuv reads the
// sockets, so a thousand writers do not hold back what the peers answer.
void LoopCore::onWake() {
    if (!shuttingDown_) pass(true);
}

// A tick that finds a command's wake-up on its way leaves what it took to
// that wake-up's pass, which runs the commands before it writes.
void LoopCore::onWatchTick() {
    QUORVEX_ASSERT_ON_LOOP_THREAD(*this);
    if (shuttingDown_) return;
    mailbox_.takeReady(takenEarly_);
    if (!mailbox_.commandsComing()) pass(false);
    if (lwsTimeoutSet_) letLwsRearmItsTimers(); // only then: a tick comes every millisecond
}

void LoopCore::letLwsRearmItsTimers() {
    QUORVEX_ASSERT_ON_LOOP_THREAD(*this);
    lwsTimeoutSet_ = false;
    if (!context_) return;
    lws_cancel_service(context_);
    platform::serviceLwsSoon(uv_.get());
}

void LoopCore::pass(bool woken) {
    QUORVEX_ASSERT_ON_LOOP_THREAD(*this);
    if (woken) mailbox_.clearWake();
    bool goingOn = readyAt_ < ready_.size();
    bool waiting = !goingOn && roundTooSoon();
    if (!goingOn && !waiting) {
        ready_.assign(takenEarly_.begin(), takenEarly_.end());
        takenEarly_.clear();
        readyAt_ = 0;
        if (woken) mailbox_.takeReady(ready_);
        noteLoad();
        busyRound_ = saturated_ && ready_.size() > kFlushSlice;
        roundStarted_ = std::chrono::steady_clock::now();
    }
    if (stopRequested_.load()) uv_stop(uv_.get());
    if (woken)
        for (auto& command : mailbox_.takeCommands()) guarded("loop command", command);
    if (!waiting) writeSlice(goingOn); // else the watch's next tick comes back
    platform::serviceLwsSoon(uv_.get());
}

void LoopCore::writeSlice(bool goingOn) {
    std::size_t count = std::min(kFlushSlice, ready_.size() - readyAt_);
    events_.onFlushes(ready_.data() + readyAt_, count);
    readyAt_ += count;
    // The rest on the next pass, and what was listed since: those writers'
    // wake-up was spent on this pass, which goes on with an earlier list.
    if (goingOn || readyAt_ < ready_.size() || !takenEarly_.empty()) mailbox_.wakeAgain();
}

// The share of each window the loop spent outside its poll, with some
// hysteresis: spacing rounds frees the very time it is measured by. The
// clock is read, not libuv's time: that is the start of the loop's
// iteration, which a long callback leaves far behind.
void LoopCore::noteLoad() {
    if (!loadMeasured_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - loadWindowStart_ < std::chrono::milliseconds(kLoadWindowMs)) return;
    std::uint64_t idleNs = uv_metrics_idle_time(uv_.get());
    double windowNs = std::chrono::duration<double, std::nano>(now - loadWindowStart_).count();
    saturated_ = 1.0 - static_cast<double>(idleNs - loadWindowIdleNs_) / windowNs >
                 (saturated_ ? kSaturatedUntil : kSaturatedFrom);
    loadWindowStart_ = now;
    loadWindowIdleNs_ = idleNs;
}

// A saturated loop that writes each connection as soon as it can spends all
// of a core on system calls of one or two frames each, while its rounds
// stretch anyway. Spacing its long rounds by a frame's time lets frames
// gather (one write and one TLS record carry several) and leaves the core
// room, for a wait no longer than the rounds it replaces. A loop with time
// to spare writes at once: there the wait would buy nothing. Only while
// watching: the watch's tick is what comes back.
bool LoopCore::roundTooSoon() const {
    return busyRound_ && mailbox_.watching() && !stopRequested_.load() &&
           std::chrono::steady_clock::now() - roundStarted_ < std::chrono::milliseconds(kBusyRoundMs);
}

void setLwsTimeout(lws* wsi, pending_timeout reason, int seconds) {
    lws_set_timeout(wsi, reason, seconds);
    if (auto* core = static_cast<LoopCore*>(lws_context_user(lws_get_context(wsi)))) core->lwsTimeoutSet();
}

// ---- libwebsockets callback ----------------------------------------------------

int LoopCore::callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len) {
    auto* core = static_cast<LoopCore*>(lws_context_user(lws_get_context(wsi)));
    if (!core) return 0;
    switch (reason) {
    case LWS_CALLBACK_LOCK_POLL: // poll-state notes
    case LWS_CALLBACK_UNLOCK_POLL:
    case LWS_CALLBACK_CHANGE_MODE_POLL_FD:
    case LWS_CALLBACK_GET_THREAD_ID:
        return 0;
    default:
        break;
    }
    QUORVEX_ASSERT_ON_LOOP_THREAD(*core);
    if (reason == LWS_CALLBACK_EVENT_WAIT_CANCELLED) {
        core->onWake();
        return 0; // non-zero would close the event pipe
    }
    return core->events_.onLwsEvent(wsi, reason, user, in, len);
}

} // namespace quorvex::transport::detail
