#include "event_loop.h"

#include <pthread.h>
#include <uv.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

#include "../wss_config.h"
#include "../wss_context.h"
#include "guarded.h"
#include "loop_thread.h"

namespace quorvex::transport::detail {

void failLoopThreadCheck(const char* function) {
    std::fprintf(stderr, "quorvex: %s must run on the event-loop thread\n", function);
    std::abort();
}

EventLoop::EventLoop(CWSSContext* owner)
    : owner_(owner), timers_(*this), connections_(*this), connector_(*this), server_(*this),
      sendPath_(*this), liveness_(*this) {}

EventLoop::~EventLoop() { stop(); }

// ---- lifecycle ---------------------------------------------------------------

bool EventLoop::start(const tagWSSvrConfig& config, unsigned int rxBufferSize, unsigned int txFragmentSize,
                      ServerSide::ConnFactory factory, const tagWSSLimits& acceptedLimits) {
    server_.setFactory(std::move(factory));
    server_.setLimits(acceptedLimits);
    moduleName_.assign(config.moduleName, strnlen(config.moduleName, sizeof config.moduleName));
    sendPath_.setBatchLimit(txFragmentSize ? txFragmentSize : 4096);
    lws_protocols protocol{};
    protocol.name = kProtocolName;
    protocol.callback = &EventLoop::callback;
    // rxBufferSize is the context's socket read size. libwebsockets also
    // gives every connection a frame buffer of the protocol's size: a
    // client hears short texts, so its connections get a small one (longer
    // messages arrive in more pieces) and ten thousand sessions do not hold
    // 40 MB of buffers for nothing.
    readBufferBytes_ = rxBufferSize;
    unsigned int clientBuffer = rxBufferSize ? std::min(rxBufferSize, kClientFrameBufferBytes) : kClientFrameBufferBytes;
    protocol.rx_buffer_size = server_.listening() ? rxBufferSize : clientBuffer;
    // Without it, libwebsockets cuts every send() to the frame buffer's size.
    protocol.tx_packet_size = SendPath::kBatchBytes;
    protocols_ = {protocol, lws_protocols{}};

    std::promise<bool> ready;
    auto started = ready.get_future();
    tagWSSvrConfig copy = config;
    thread_ = std::thread([this, copy, &ready] { run(copy, [&ready](bool ok) { ready.set_value(ok); }); });
    bool ok = started.get();
    if (!ok) thread_.join();
    return ok;
}

void EventLoop::stop() {
    if (!thread_.joinable()) return;
    if (onLoopThread()) {
        lwsl_err("%s: a context cannot be destroyed from its own loop thread\n", moduleName_.c_str());
        return;
    }
    stopRequested_ = true;
    wake();
    thread_.join();
}

void EventLoop::run(const tagWSSvrConfig& config, const std::function<void(bool)>& ready) {
    loopThread_ = std::this_thread::get_id();
    pthread_setname_np(pthread_self(), "quorvex-loop"); // for top -H, perf and debuggers
    events_ = std::make_unique<uv_loop_s>();
    if (uv_loop_init(events_.get()) != 0) {
        events_.reset();
        ready(false);
        return;
    }
    if (!createLwsContext(config)) {
        closeEvents();
        ready(false);
        return;
    }
    timers_.start(events_.get());
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        alive_ = true;
    }
    timers_.add(
        [this](void*) {
            liveness_.sweep();
            return true;
        },
        Liveness::kSweepMs);
    ready(true);
    // libuv waits; libwebsockets' pipe handle keeps it running until onWake stops it.
    while (!stopRequested_.load()) uv_run(events_.get(), UV_RUN_DEFAULT);
    shutDown();
    closeEvents();
}

bool EventLoop::createLwsContext(const tagWSSvrConfig& config) {
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protocols_.data();
    info.pt_serv_buf_size = std::max(readBufferBytes_, 4096u); // the client handshake is built in it
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
    if (server_.listening()) info.options |= LWS_SERVER_OPTION_EXPLICIT_VHOSTS;
    // libwebsockets' libuv plugin watches each socket on our own loop, and
    // leaves the process's signal handlers alone.
    void* foreignLoops[] = {events_.get()};
    info.options |= LWS_SERVER_OPTION_LIBUV | LWS_SERVER_OPTION_UV_NO_SIGSEGV_SIGFPE_SPIN;
    info.foreign_loops = foreignLoops;
    context_ = lws_create_context(&info);
    if (!context_) {
        lwsl_err("%s: lws_create_context failed (libwebsockets' libuv plugin, libwebsockets-evlib-uv, is needed)\n",
                 moduleName_.c_str());
        return false;
    }
    if (server_.listening() && !server_.listen(config, info)) {
        destroyLwsContext();
        return false;
    }
    owner_->init(context_);
    return true;
}

// libuv closes handles asynchronously, on later passes. Bounded: a handle
// that never closes must not hang the caller of stop().
void EventLoop::runUntilIdle() {
    for (int pass = 0; pass < 1000 && uv_run(events_.get(), UV_RUN_NOWAIT) != 0; ++pass) {
    }
}

void EventLoop::closeEvents() {
    runUntilIdle();
    if (uv_loop_close(events_.get()) != 0) {
        lwsl_err("%s: event loop handles still open at exit; the loop is leaked\n", moduleName_.c_str());
        (void)events_.release();
        return;
    }
    events_.reset();
}

// On a loop of our own, libwebsockets closes its libuv handles on the next
// passes and finishes (descriptors, memory) on a second call.
void EventLoop::destroyLwsContext() {
    lws_context_destroy(context_);
    runUntilIdle();
    lws_context_destroy(context_);
    context_ = nullptr;
}

// A thread that passed the alive check may still be inside
// lws_cancel_service: the context may not go before it is out. It is out
// within instructions unless it was descheduled there; past the deadline
// the context is left allocated rather than freed under it.
void EventLoop::waitForWakers() {
    constexpr auto kDeadline = std::chrono::seconds(2);
    auto until = std::chrono::steady_clock::now() + kDeadline;
    while (wakers_.load() != 0) {
        if (std::chrono::steady_clock::now() >= until) {
            lwsl_err("%s: a thread stalled inside a wake-up; the context is left allocated\n", moduleName_.c_str());
            context_ = nullptr;
            return;
        }
        std::this_thread::yield();
    }
}

void EventLoop::shutDown() {
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        alive_ = false; // from here on nobody may wake the context
    }
    waitForWakers();
    connector_.failUnresolved();
    connector_.stopLookups();
    timers_.clear(); // pending ones are dropped: none may fire into a context being destroyed
    if (context_) destroyLwsContext(); // open connections report their close on this thread
    owner_->init(nullptr);
    // Commands that were still queued run against a closed loop: connects
    // fail, detaches complete, everything else finds nothing to do.
    drainCommands();
    std::lock_guard<std::mutex> guard(readyLock_);
    ready_.clear();
}

// ---- commands ----------------------------------------------------------------

bool EventLoop::post(Command command) {
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        if (!alive_) return false;
        commands_.push_back(std::move(command));
    }
    wake();
    return true;
}

bool EventLoop::flushSoon(CWSSConn* conn) {
    {
        std::lock_guard<std::mutex> guard(readyLock_);
        if (!alive_) return false;
        ready_.push_back(conn);
    }
    wake();
    return true;
}

// libwebsockets' own wake-up, coalesced: its cancel is a write to its event
// pipe on every call. The loop clears the flag before it takes what is
// queued, so whatever is queued after that wakes it again.
void EventLoop::wake() {
    if (wakePending_.exchange(true)) return;
    wakers_.fetch_add(1);
    if (alive_.load()) lws_cancel_service(context_);
    wakers_.fetch_sub(1);
}

void EventLoop::runOnLoop(const Command& command) {
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
// posted before its first write, has then run when its flush does.
void EventLoop::onWake() {
    QUORVEX_ASSERT_ON_LOOP_THREAD(*this);
    wakePending_.store(false);
    if (stopRequested_.load()) uv_stop(events_.get());
    readySpare_.clear();
    {
        std::lock_guard<std::mutex> guard(readyLock_);
        readySpare_.swap(ready_);
    }
    drainCommands();
    connections_.flushReady(readySpare_);
}

// One batch per wake-up: what is posted meanwhile wakes the loop again and
// waits for the next pass, after what the sockets have. Threads that post
// without pause must not keep the loop from its connections.
void EventLoop::drainCommands() {
    QUORVEX_ASSERT_ON_LOOP_THREAD(*this);
    std::vector<Command> batch;
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        batch.swap(commands_);
    }
    for (auto& command : batch) guarded("loop command", command);
}

// ---- libwebsockets callback ----------------------------------------------------

int EventLoop::callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len) {
    auto* loop = static_cast<EventLoop*>(lws_context_user(lws_get_context(wsi)));
    if (!loop) return 0;
    switch (reason) {
    case LWS_CALLBACK_LOCK_POLL: // poll-state notes
    case LWS_CALLBACK_UNLOCK_POLL:
    case LWS_CALLBACK_CHANGE_MODE_POLL_FD:
    case LWS_CALLBACK_GET_THREAD_ID:
        return 0;
    default:
        break;
    }
    QUORVEX_ASSERT_ON_LOOP_THREAD(*loop);
    switch (reason) {
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        loop->onWake();
        return 0; // non-zero would close the event pipe
    case LWS_CALLBACK_FILTER_NETWORK_CONNECTION: // wsi is the listener; non-zero closes the new socket
        return loop->server_.admit() ? 0 : 1;
    case LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED:
        loop->server_.onAccepted(wsi);
        return 0;
    case LWS_CALLBACK_WSI_DESTROY:
        loop->server_.onDestroyed(wsi);
        break; // and the connection's own end below
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
        return loop->server_.acceptUpgrade(wsi);
    case LWS_CALLBACK_HTTP:
        return loop->server_.onHttpRequest(wsi, user, static_cast<const char*>(in), len);
    default:
        break;
    }
    ConnLink* link = loop->connections_.find(user);
    if (!link) return lws_callback_http_dummy(wsi, reason, user, in, len);
    return loop->onConnectionEvent(link, wsi, reason, in, len);
}

int EventLoop::onConnectionEvent(ConnLink* link, lws* wsi, lws_callback_reasons reason, void* in, std::size_t len) {
    switch (reason) {
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
        connector_.settleEstablished(link, wsi);
        return 0;
    case LWS_CALLBACK_ESTABLISHED:
        connections_.settleOpen(link, wsi);
        return 0;
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        connector_.settleFailure(link, in ? static_cast<const char*>(in) : "connection error");
        return 0;
    case LWS_CALLBACK_CLIENT_RECEIVE:
    case LWS_CALLBACK_RECEIVE:
        return connections_.onReceive(link, in, len);
    case LWS_CALLBACK_CLIENT_WRITEABLE:
    case LWS_CALLBACK_SERVER_WRITEABLE:
        return sendPath_.onWritable(link);
    case LWS_CALLBACK_RECEIVE_PONG:
    case LWS_CALLBACK_CLIENT_RECEIVE_PONG:
        connections_.onHeard(link);
        return 0;
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
        return connections_.onPeerClose(link, in, len);
    case LWS_CALLBACK_CLIENT_CLOSED:
    case LWS_CALLBACK_CLOSED:
        connections_.settleClose(link);
        return 0;
    case LWS_CALLBACK_HTTP_BODY:
        return server_.onHttpBody(link, in, len);
    case LWS_CALLBACK_HTTP_BODY_COMPLETION:
        return server_.onHttpBodyDone(link);
    case LWS_CALLBACK_HTTP_WRITEABLE:
        return server_.onHttpWritable(link);
    case LWS_CALLBACK_CLOSED_HTTP:
        server_.onHttpClosed(link);
        return 0;
    case LWS_CALLBACK_WSI_DESTROY:
        onWsiDestroyed(link);
        return 0;
    default:
        return lws_callback_http_dummy(wsi, reason, link, in, len);
    }
}

// The one callback every wsi gets: settle whatever was left open.
void EventLoop::onWsiDestroyed(ConnLink* link) {
    if (link->kind == ConnLink::Kind::Http) server_.onHttpClosed(link);
    connector_.settleFailure(link, "closed before connecting");
    connections_.settleClose(link);
    connections_.releaseOwned(link);
    connections_.forget(link);
}

} // namespace quorvex::transport::detail
