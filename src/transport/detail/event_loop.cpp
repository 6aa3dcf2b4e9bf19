#include "event_loop.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>

#include "../wss_client.h"
#include "../wss_config.h"
#include "../wss_context.h"
#include "send_queue.h"
#include "ws_frame.h"

namespace quorvex::transport::detail {

namespace {

constexpr const char* kProtocolName = "quorvex-ws";
constexpr int kMaxWritesPerWritable = 16;
constexpr std::size_t kBatchBytes = 64 * 1024;
constexpr std::size_t kKeptReceiveCapacity = 64 * 1024;

void* timerHandle(std::uint64_t id) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)); }
std::uint64_t timerId(void* handle) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle)); }

// Nothing thrown by application code may unwind through libwebsockets.
template <typename F>
void guarded(const char* what, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        lwsl_err("%s threw: %s\n", what, e.what());
    } catch (...) {
        lwsl_err("%s threw\n", what);
    }
}

void readEndpoint(int fd, bool local, std::string& address, std::atomic<unsigned short>& port) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    auto* raw = reinterpret_cast<sockaddr*>(&storage);
    int rc = local ? getsockname(fd, raw, &length) : getpeername(fd, raw, &length);
    if (rc != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (storage.ss_family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    address = text;
}

void killAsync(lws* wsi) { lws_set_timeout(wsi, PENDING_TIMEOUT_USER_REASON_BASE, LWS_TO_KILL_ASYNC); }

} // namespace

// Standard layout, so that lws_container_of may find it from its list node.
struct TimerNode {
    lws_sorted_usec_list_t sul;
    Timer* timer;
};

struct Timer {
    TimerNode node;
    EventLoop* loop = nullptr;
    std::uint64_t id = 0;
    std::function<bool(void*)> callback;
    unsigned int intervalMs = 0;
    bool cancelled = false;

    Timer() {
        std::memset(&node, 0, sizeof node);
        node.timer = this;
    }
};

std::uint64_t nowMillis() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

EventLoop::EventLoop(CWSSContext* owner) : owner_(owner) {}

EventLoop::~EventLoop() { stop(); }

// ---- lifecycle -------------------------------------------------------------

bool EventLoop::start(const tagWSSvrConfig& config, unsigned int rxBufferSize, unsigned int txFragmentSize,
                      ConnFactory factory) {
    factory_ = std::move(factory);
    moduleName_.assign(config.moduleName, strnlen(config.moduleName, sizeof config.moduleName));
    txFragmentSize_ = txFragmentSize ? txFragmentSize : 4096;
    lws_protocols protocol{};
    protocol.name = kProtocolName;
    protocol.callback = &EventLoop::callback;
    protocol.rx_buffer_size = rxBufferSize;
    protocol.tx_packet_size = 0;
    protocols_ = {protocol, lws_protocols{}};

    std::promise<bool> ready;
    auto started = ready.get_future();
    tagWSSvrConfig copy = config;
    thread_ = std::thread([this, copy, &ready] { run(copy, [&ready](bool ok) { ready.set_value(ok); }); });
    bool ok = started.get();
    if (!ok) {
        thread_.join();
    }
    return ok;
}

void EventLoop::stop() {
    if (!thread_.joinable()) return;
    if (onLoopThread()) {
        lwsl_err("%s: a context cannot be destroyed from its own loop thread\n", moduleName_.c_str());
        return;
    }
    stopRequested_ = true;
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        if (alive_) lws_cancel_service(context_);
    }
    resolver_.stop();
    thread_.join();
}

void EventLoop::run(const tagWSSvrConfig& config, std::function<void(bool)> ready) {
    loopThread_ = std::this_thread::get_id();
    if (!createLwsContext(config)) {
        ready(false);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        alive_ = true;
    }
    ready(true);
    while (!stopRequested_.load()) {
        if (lws_service(context_, 0) < 0) break;
    }
    shutDown();
}

bool EventLoop::createLwsContext(const tagWSSvrConfig& config) {
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protocols_.data();
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
    if (factory_) info.options |= LWS_SERVER_OPTION_EXPLICIT_VHOSTS;
    context_ = lws_create_context(&info);
    if (!context_) {
        lwsl_err("%s: lws_create_context failed\n", moduleName_.c_str());
        return false;
    }
    if (factory_ && !createListener(config, info)) {
        lws_context_destroy(context_);
        context_ = nullptr;
        return false;
    }
    owner_->init(context_);
    return true;
}

bool EventLoop::createListener(const tagWSSvrConfig& config, lws_context_creation_info& info) {
    std::string iface(config.bindInterface, strnlen(config.bindInterface, sizeof config.bindInterface));
    std::string name(config.vhostName, strnlen(config.vhostName, sizeof config.vhostName));
    std::string cert(config.certFile, strnlen(config.certFile, sizeof config.certFile));
    std::string key(config.keyFile, strnlen(config.keyFile, sizeof config.keyFile));
    info.port = config.listenPort;
    info.iface = iface.empty() ? nullptr : iface.c_str();
    info.vhost_name = name.empty() ? "default" : name.c_str();
    info.options |= LWS_SERVER_OPTION_FAIL_UPON_UNABLE_TO_BIND;
    if (!cert.empty()) {
        info.ssl_cert_filepath = cert.c_str();
        info.ssl_private_key_filepath = key.c_str();
    }
    lws_vhost* vhost = lws_create_vhost(context_, &info);
    if (!vhost) {
        lwsl_err("%s: cannot listen on %s:%d\n", moduleName_.c_str(), iface.empty() ? "*" : iface.c_str(),
                 config.listenPort);
        return false;
    }
    listenPort_ = lws_get_vhost_listen_port(vhost);
    return true;
}

void EventLoop::shutDown() {
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        alive_ = false; // from here on nobody may wake the context
    }
    failUnresolvedAttempts();
    lws_context_destroy(context_); // open connections report their close on this thread
    context_ = nullptr;
    owner_->init(nullptr);
    // Commands that were still queued run against a closed loop: connects
    // fail, detaches complete, everything else finds nothing to do.
    drainCommands();
    timers_.clear();
}

// ---- commands --------------------------------------------------------------

bool EventLoop::post(Command command) {
    std::lock_guard<std::mutex> guard(queueLock_);
    if (!alive_) return false;
    bool wake = commands_.empty(); // a non-empty queue has a wake-up on its way
    commands_.push_back(std::move(command));
    if (wake) lws_cancel_service(context_);
    return true;
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

void EventLoop::drainCommands() {
    for (;;) {
        std::vector<Command> batch;
        {
            std::lock_guard<std::mutex> guard(queueLock_);
            batch.swap(commands_);
        }
        if (batch.empty()) return;
        for (auto& command : batch) guarded("loop command", command);
    }
}

// ---- timers ----------------------------------------------------------------

void* EventLoop::addTimer(std::function<bool(void*)> callback, unsigned int intervalMs) {
    std::uint64_t id = nextTimerId_++;
    bool posted = post([this, id, intervalMs, callback = std::move(callback)]() mutable {
        auto timer = std::make_unique<Timer>();
        timer->loop = this;
        timer->id = id;
        timer->callback = std::move(callback);
        timer->intervalMs = intervalMs;
        timers_.emplace(id, std::move(timer));
        armTimer(id);
    });
    return posted ? timerHandle(id) : nullptr;
}

void EventLoop::delTimer(void* handle) {
    if (!handle) return;
    std::uint64_t id = timerId(handle);
    if (onLoopThread()) {
        cancelTimer(id);
        return;
    }
    post([this, id] { cancelTimer(id); });
}

void EventLoop::armTimer(std::uint64_t id) {
    auto found = timers_.find(id);
    if (found == timers_.end() || !context_) return;
    Timer* timer = found->second.get();
    if (timer->intervalMs == 0) {
        fireTimer(timer); // already on the loop's next pass
        return;
    }
    lws_sul_schedule(context_, 0, &timer->node.sul, &EventLoop::onTimerDue,
                     static_cast<lws_usec_t>(timer->intervalMs) * LWS_US_PER_MS);
}

void EventLoop::onTimerDue(lws_sorted_usec_list_t* sul) {
    Timer* timer = lws_container_of(sul, TimerNode, sul)->timer;
    timer->loop->fireTimer(timer);
}

void EventLoop::fireTimer(Timer* timer) {
    std::uint64_t id = timer->id;
    bool again = false;
    firingTimer_ = id;
    guarded("timer callback", [&] { again = timer->callback(timerHandle(id)); });
    firingTimer_ = 0;
    if (again && !timer->cancelled && context_) {
        lws_usec_t delay = static_cast<lws_usec_t>(std::max(1u, timer->intervalMs)) * LWS_US_PER_MS;
        lws_sul_schedule(context_, 0, &timer->node.sul, &EventLoop::onTimerDue, delay);
        return;
    }
    timers_.erase(id);
}

void EventLoop::cancelTimer(std::uint64_t id) {
    auto found = timers_.find(id);
    if (found == timers_.end()) return;
    if (id == firingTimer_) { // erased by fireTimer once its callback returns
        found->second->cancelled = true;
        return;
    }
    lws_sul_cancel(&found->second->node.sul);
    timers_.erase(found);
}

// ---- connections -----------------------------------------------------------

bool EventLoop::attached(CWSSConn* conn) const { return owner_->getAll().count(conn) != 0; }

void EventLoop::attach(CWSSConn* conn) { owner_->getAll().insert(conn); }

ConnLink* EventLoop::findLink(void* user) const {
    auto* link = static_cast<ConnLink*>(user);
    return links_.count(link) ? link : nullptr;
}

void EventLoop::forgetLink(ConnLink* link) { links_.erase(link); }

bool EventLoop::beginConnect(CWSSClient* client, WsUrl url) {
    std::uint64_t attempt = nextAttempt_++;
    return post([this, client, attempt, url = std::move(url)] {
        attach(client);
        client->pendingAttempts.push_back(attempt);
        startAttempt(client, attempt, url);
    });
}

void EventLoop::startAttempt(CWSSClient* client, std::uint64_t attempt, const WsUrl& url) {
    if (!context_) {
        failAttempt(client, attempt, "context closed");
        return;
    }
    if (isNumericHost(url.host)) {
        openAttempt(client, attempt, url, url.host);
        return;
    }
    resolver_.resolve(url.host, [this, client, attempt, url](const std::string& address) {
        post([this, client, attempt, url, address] {
            if (address.empty()) {
                lwsl_notice("%s: cannot resolve %s\n", moduleName_.c_str(), url.host.c_str());
                failAttempt(client, attempt, "name lookup failed");
                return;
            }
            openAttempt(client, attempt, url, address);
        });
    });
}

void EventLoop::openAttempt(CWSSClient* client, std::uint64_t attempt, const WsUrl& url, const std::string& address) {
    auto& pending = client->pendingAttempts;
    if (!attached(client) || std::find(pending.begin(), pending.end(), attempt) == pending.end()) return;
    if (!context_) {
        failAttempt(client, attempt, "context closed");
        return;
    }
    auto owned = std::make_unique<ConnLink>();
    ConnLink* link = owned.get();
    link->conn = client;
    link->client = true;
    link->attempt = attempt;
    links_.emplace(link, std::move(owned));
    client->link_ = link;

    lws_client_connect_info info{};
    info.context = context_;
    info.address = address.c_str();
    info.port = url.port;
    info.path = url.path.c_str();
    info.host = url.hostHeader.c_str();
    info.origin = url.hostHeader.c_str();
    info.ietf_version_or_minus_one = -1;
    info.local_protocol_name = kProtocolName;
    info.userdata = link;
    info.pwsi = &link->wsi;
    if (url.tls) {
        info.ssl_connection = LCCSCF_USE_SSL;
        if (client->noSslVerify_)
            info.ssl_connection |= LCCSCF_ALLOW_SELFSIGNED | LCCSCF_SKIP_SERVER_CERT_HOSTNAME_CHECK |
                                   LCCSCF_ALLOW_EXPIRED | LCCSCF_ALLOW_INSECURE;
    }
    if (!lws_client_connect_via_info(&info)) {
        // Refused inside the call: libwebsockets reports nothing itself.
        ConnLink* still = findLink(link);
        if (still) {
            settleFailure(still, "connect refused");
            forgetLink(still);
        }
    }
}

void EventLoop::failAttempt(CWSSClient* client, std::uint64_t attempt, const char* why) {
    auto& pending = client->pendingAttempts;
    auto found = std::find(pending.begin(), pending.end(), attempt);
    if (!attached(client) || found == pending.end()) return;
    pending.erase(found);
    client->link_ = nullptr;
    client->sendQueue->clear();
    client->active_ = false;
    lwsl_notice("%s: connection attempt failed: %s\n", moduleName_.c_str(), why);
    guarded("onConnectErr", [&] { client->onConnectErr(); });
}

void EventLoop::failUnresolvedAttempts() {
    std::vector<CWSSClient*> waiting;
    for (void* entry : owner_->getAll()) {
        auto* conn = static_cast<CWSSConn*>(entry);
        if (conn->isClient_ && conn->link_ == nullptr && conn->active_) waiting.push_back(static_cast<CWSSClient*>(conn));
    }
    for (CWSSClient* client : waiting) {
        auto attempts = client->pendingAttempts;
        for (std::uint64_t attempt : attempts) failAttempt(client, attempt, "context closed");
    }
}

void EventLoop::settleOpen(ConnLink* link, lws* wsi) {
    if (link->phase != ConnLink::Phase::Connecting) return;
    link->phase = ConnLink::Phase::Open;
    link->wsi = wsi;
    CWSSConn* conn = link->conn;
    if (!conn) {
        killAsync(wsi); // the owner went away while connecting
        return;
    }
    if (link->client) {
        auto& pending = static_cast<CWSSClient*>(conn)->pendingAttempts;
        pending.erase(std::remove(pending.begin(), pending.end(), link->attempt), pending.end());
    }
    conn->init(owner_, wsi);
    int fd = lws_get_socket_fd(wsi);
    readEndpoint(fd, true, conn->localAddr, conn->localPort);
    readEndpoint(fd, false, conn->peerAddr, conn->peerPort);
    conn->establishedTime = nowMillis();
    conn->lastActiveTime = conn->establishedTime.load();
    guarded("onEstablished", [&] { conn->onEstablished(); });
    if (link->conn == conn && conn->sendQueue->size() > 0) lws_callback_on_writable(wsi);
}

void EventLoop::settleFailure(ConnLink* link, const char* why) {
    if (link->phase != ConnLink::Phase::Connecting) return;
    link->phase = ConnLink::Phase::Done;
    if (!link->client) return; // a server connection is released with its wsi
    CWSSConn* conn = link->conn;
    link->conn = nullptr;
    if (!conn) return;
    failAttempt(static_cast<CWSSClient*>(conn), link->attempt, why);
}

void EventLoop::settleClose(ConnLink* link) {
    if (link->phase != ConnLink::Phase::Open) return;
    link->phase = ConnLink::Phase::Done;
    CWSSConn* conn = link->conn;
    link->conn = nullptr;
    if (!conn) return;
    conn->uninit();
    conn->link_ = nullptr;
    conn->active_ = false;
    conn->closeWhenSent_ = false;
    // A client's owner may free it as soon as onClose has signalled: touch nothing after it.
    guarded("onClose", [&] { conn->onClose(); });
    if (!link->client) {
        link->conn = conn; // ours: freed here, after its last event
        releaseServerConn(link);
    }
}

void EventLoop::releaseServerConn(ConnLink* link) {
    CWSSConn* conn = link->conn;
    link->conn = nullptr;
    if (!conn || link->client) return;
    owner_->getAll().erase(conn);
    conn->link_ = nullptr;
    delete conn;
}

// ---- server side -------------------------------------------------------------

int EventLoop::acceptUpgrade(lws* wsi) {
    if (!factory_ || lws_wsi_user(wsi)) return 1;
    char path[1024] = {};
    if (lws_hdr_copy(wsi, path, sizeof path, WSI_TOKEN_GET_URI) < 0) return 1;
    CWSSConn* conn = nullptr;
    guarded("connection factory", [&] { conn = factory_(path); });
    if (!conn) return 1; // refused: the handshake fails
    auto owned = std::make_unique<ConnLink>();
    ConnLink* link = owned.get();
    link->conn = conn;
    link->wsi = wsi;
    links_.emplace(link, std::move(owned));
    lws_set_wsi_user(wsi, link);
    attach(conn);
    conn->link_ = link;
    {
        std::lock_guard<std::mutex> guard(conn->loopLock);
        conn->loop_ = owner_->loop();
    }
    conn->active_ = true;
    return 0;
}

int EventLoop::onHttpRequest(lws* wsi, void* user, const char* uri, std::size_t len) {
    ConnLink* link = findLink(user);
    if (!link) {
        CWSSConn* conn = nullptr;
        if (factory_) guarded("connection factory", [&] { conn = factory_(std::string(uri, len)); });
        if (!conn) return answerRequest(wsi, nullptr, false);
        auto owned = std::make_unique<ConnLink>();
        link = owned.get();
        link->conn = conn;
        link->http = true;
        link->phase = ConnLink::Phase::Open;
        link->wsi = wsi;
        links_.emplace(link, std::move(owned));
        lws_set_wsi_user(wsi, link);
        attach(conn);
        conn->link_ = link;
    }
    link->wsi = wsi;
    CWSSConn* conn = link->conn;
    if (!conn) return -1;
    // Between two requests on one connection: the body and the URI arguments
    // start empty. contentType is kept, so a request without a Content-Type
    // header inherits the previous one.
    conn->requestBody.clear();
    conn->uriArgs.clear();
    bool handled = false;
    guarded("processHttp", [&] { handled = conn->processHttp(owner_, wsi, uri, static_cast<int>(len)); });
    if (handled && conn->method == 1) return 0; // POST: answered once the body is complete
    return answerRequest(wsi, link, handled);
}

int EventLoop::onHttpBodyDone(ConnLink* link) {
    bool handled = false;
    if (!link->conn) return -1;
    guarded("httpProcess", [&] { handled = link->conn->httpProcess(); });
    return answerRequest(link->wsi, link, handled);
}

// A handled request is written when the connection can take it; anything
// else gets a status of our own rather than silence.
int EventLoop::answerRequest(lws* wsi, ConnLink* link, bool handled) {
    if (handled && link && link->conn && !link->conn->response.empty()) {
        lws_callback_on_writable(wsi);
        return 0;
    }
    unsigned int status = HTTP_STATUS_NOT_FOUND;
    if (handled) {
        lwsl_err("%s: request handled without a response\n", moduleName_.c_str());
        status = HTTP_STATUS_INTERNAL_SERVER_ERROR;
    } else if (!lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) && !lws_hdr_total_length(wsi, WSI_TOKEN_POST_URI)) {
        status = HTTP_STATUS_METHOD_NOT_ALLOWED;
    }
    if (lws_return_http_status(wsi, status, nullptr)) return -1;
    return lws_http_transaction_completed(wsi) ? -1 : 0;
}

void EventLoop::onHttpClosed(ConnLink* link) {
    if (link->conn) guarded("onHttpClose", [&] { link->conn->onHttpClose(); });
    releaseServerConn(link);
    link->phase = ConnLink::Phase::Done;
}

void EventLoop::requestFlush(CWSSConn* conn) {
    if (onLoopThread()) {
        flushNow(conn);
        return;
    }
    if (!post([this, conn] { flushNow(conn); })) conn->flushPending_ = false;
}

void EventLoop::flushNow(CWSSConn* conn) {
    if (!attached(conn)) return;
    conn->flushPending_ = false;
    ConnLink* link = conn->link_;
    if (link && link->phase == ConnLink::Phase::Open && context_) lws_callback_on_writable(link->wsi);
}


void EventLoop::requestClose(CWSSConn* conn, lws* wsi) {
    post([this, conn, wsi] {
        if (!attached(conn) || !context_) return;
        std::lock_guard<std::mutex> guard(conn->connLock);
        if (conn->wsi == wsi) killAsync(wsi);
    });
}

void EventLoop::detach(CWSSConn* conn) {
    runOnLoop([this, conn] { detachNow(conn); });
}

void EventLoop::detachNow(CWSSConn* conn) {
    if (!attached(conn)) return;
    owner_->getAll().erase(conn);
    if (ConnLink* link = conn->link_) {
        link->conn = nullptr;
        if (link->wsi && link->phase != ConnLink::Phase::Done && context_) killAsync(link->wsi);
        conn->link_ = nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(conn->connLock);
        conn->wsi = nullptr;
    }
    conn->active_ = false;
}

// ---- traffic -----------------------------------------------------------------

int EventLoop::onReceive(ConnLink* link, const void* in, std::size_t len) {
    CWSSConn* conn = link->conn;
    if (!conn) return 0;
    lws* wsi = link->wsi;
    if (lws_is_first_fragment(wsi)) {
        link->rx.clear();
        link->rxBinary = lws_frame_is_binary(wsi) != 0;
        link->rxDiscarding = false;
    }
    if (!link->rxDiscarding) {
        if (link->rx.size() + len > kMaxMessageBytes) {
            lwsl_err("%s: incoming message over %zu bytes, closing\n", moduleName_.c_str(), kMaxMessageBytes);
            link->rx.clear();
            link->rx.shrink_to_fit();
            link->rxDiscarding = true;
            killAsync(wsi);
        } else {
            link->rx.append(static_cast<const char*>(in), len);
        }
    }
    if (lws_is_final_fragment(wsi) && !link->rxDiscarding) deliver(link);
    return 0;
}

void EventLoop::deliver(ConnLink* link) {
    CWSSConn* conn = link->conn;
    std::string message;
    message.swap(link->rx);
    conn->rcvPackets.fetch_add(1, std::memory_order_relaxed);
    conn->rcvBytes.fetch_add(message.size(), std::memory_order_relaxed);
    conn->lastActiveTime = nowMillis();
    if (link->rxBinary) {
        guarded("onBinaryData", [&] {
            conn->onBinaryData(reinterpret_cast<const unsigned char*>(message.data()), static_cast<int>(message.size()));
        });
    } else {
        guarded("onTextData", [&] { conn->onTextData(message.data(), static_cast<int>(message.size())); });
    }
    // Keep an ordinary buffer for the next message; give a huge one back.
    if (link->rx.empty() && message.capacity() <= kKeptReceiveCapacity) {
        message.clear();
        link->rx.swap(message);
    }
}

// Small whole messages leave several to a send: framed and masked here, then
// written raw, because one lws_write per message costs a syscall each.
bool EventLoop::writeBatch(ConnLink* link, SendQueue& queue) {
    batch_.resize(LWS_PRE);
    std::size_t messages = 0, bytes = 0;
    while (OutMessage* message = queue.front()) {
        if (message->sent > 0 || message->payloadSize > txFragmentSize_ || batch_.size() >= kBatchBytes) break;
        std::uint8_t key[4];
        if (link->client) maskKeys_.next(key);
        appendFrame(batch_, message->binary, message->payload(), message->payloadSize, link->client ? key : nullptr);
        bytes += message->payloadSize;
        ++messages;
        queue.popFront();
    }
    if (messages == 0) return true;
    std::size_t length = batch_.size() - LWS_PRE;
    if (lws_write(link->wsi, batch_.data() + LWS_PRE, length, LWS_WRITE_RAW) < static_cast<int>(length)) return false;
    link->conn->sndPackets.fetch_add(messages, std::memory_order_relaxed);
    link->conn->sndBytes.fetch_add(bytes, std::memory_order_relaxed);
    return true;
}

// A large message leaves one fragment per call, so other work is not starved.
bool EventLoop::writeFragment(ConnLink* link, SendQueue& queue) {
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
        link->conn->sndPackets.fetch_add(1, std::memory_order_relaxed);
        link->conn->sndBytes.fetch_add(message->payloadSize, std::memory_order_relaxed);
        queue.popFront();
    }
    return true;
}

int EventLoop::onWritable(ConnLink* link) {
    CWSSConn* conn = link->conn;
    if (!conn) return 0;
    SendQueue& queue = *conn->sendQueue;
    for (int round = 0; round < kMaxWritesPerWritable && queue.front(); ++round) {
        OutMessage* message = queue.front();
        bool whole = message->sent == 0 && message->payloadSize <= txFragmentSize_;
        if (!(whole ? writeBatch(link, queue) : writeFragment(link, queue))) {
            lwsl_err("%s: write failed, closing\n", moduleName_.c_str());
            return -1;
        }
        if (lws_partial_buffered(link->wsi)) break;
    }
    conn->lastActiveTime = nowMillis();
    if (queue.size() > 0) {
        lws_callback_on_writable(link->wsi);
    } else if (conn->closeWhenSent_.exchange(false)) {
        lws_close_reason(link->wsi, LWS_CLOSE_STATUS_NORMAL, nullptr, 0);
        return -1; // everything queued has left: close with a close frame
    }
    return 0;
}

// ---- libwebsockets callback ------------------------------------------------------

int EventLoop::callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len) {
    auto* loop = static_cast<EventLoop*>(lws_context_user(lws_get_context(wsi)));
    if (!loop) return 0;
    switch (reason) {
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        loop->drainCommands();
        return 0; // non-zero would close the event pipe
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
        return loop->acceptUpgrade(wsi);
    case LWS_CALLBACK_HTTP:
        return loop->onHttpRequest(wsi, user, static_cast<const char*>(in), len);
    default:
        break;
    }
    ConnLink* link = loop->findLink(user);
    if (!link) return lws_callback_http_dummy(wsi, reason, user, in, len);
    switch (reason) {
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
    case LWS_CALLBACK_ESTABLISHED:
        loop->settleOpen(link, wsi);
        return 0;
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        loop->settleFailure(link, in ? static_cast<const char*>(in) : "connection error");
        return 0;
    case LWS_CALLBACK_CLIENT_RECEIVE:
    case LWS_CALLBACK_RECEIVE:
        return loop->onReceive(link, in, len);
    case LWS_CALLBACK_CLIENT_WRITEABLE:
    case LWS_CALLBACK_SERVER_WRITEABLE:
        return loop->onWritable(link);
    case LWS_CALLBACK_CLIENT_CLOSED:
    case LWS_CALLBACK_CLOSED:
        loop->settleClose(link);
        return 0;
    case LWS_CALLBACK_HTTP_BODY:
        if (link->conn) link->conn->appendBody(static_cast<const char*>(in), static_cast<int>(len));
        return 0;
    case LWS_CALLBACK_HTTP_BODY_COMPLETION:
        return loop->onHttpBodyDone(link);
    case LWS_CALLBACK_HTTP_WRITEABLE:
        if (link->conn) guarded("onHttpWrite", [&] { link->conn->onHttpWrite(); });
        return 0;
    case LWS_CALLBACK_CLOSED_HTTP:
        loop->onHttpClosed(link);
        return 0;
    case LWS_CALLBACK_WSI_DESTROY:
        // The one callback every wsi gets: settle whatever was left open.
        if (link->http) loop->onHttpClosed(link);
        loop->settleFailure(link, "closed before connecting");
        loop->settleClose(link);
        loop->releaseServerConn(link);
        loop->forgetLink(link);
        return 0;
    default:
        return lws_callback_http_dummy(wsi, reason, user, in, len);
    }
}

} // namespace quorvex::transport::detail
