// SPDX-License-Identifier: Apache-2.0
#include "test_server.h"

#include <libwebsockets.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "transport/loop/log_context.h"

namespace quorvex::test {
namespace {

struct Outgoing {
    std::string bytes;
    bool binary = false;
    std::size_t fragment = 0; // 0: one frame
    std::size_t sent = 0;
};

// Made once per test process (openssl is one of the suite's dependencies),
// removed when the process ends.
struct CertificateFiles {
    std::string dir, cert, key;
    ~CertificateFiles() {
        if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }
};

const CertificateFiles& selfSignedCertificate() {
    static const CertificateFiles files = [] {
        char dir[] = "/tmp/quorvex-cert-XXXXXX";
        if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
        std::string cert = std::string(dir) + "/cert.pem";
        std::string key = std::string(dir) + "/key.pem";
        std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                              " -subj /CN=quorvex-test -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
        return CertificateFiles{dir, cert, key};
    }();
    return files;
}

} // namespace

struct TestServer::Impl {
    std::string certFile, keyFile; // empty: the self-signed certificate
    std::string address = "127.0.0.1";
    struct PeerState final : Peer {
        Impl* server = nullptr;
        lws* wsi = nullptr;
        int number = 0;
        std::deque<Outgoing> queue;
        std::string rx;
        bool rxBinary = false;
        bool closing = false;
        int closeStatus = LWS_CLOSE_STATUS_NORMAL;

        int id() const override { return number; }
        void sendText(const std::string& text) override { push(Outgoing{text, false, 0, 0}); }
        void sendBinary(const std::string& bytes) override { push(Outgoing{bytes, true, 0, 0}); }
        void sendFragmented(const std::string& text, std::size_t size) override {
            push(Outgoing{text, false, size ? size : 1, 0});
        }
        void closeClean() override {
            closing = true;
            lws_callback_on_writable(wsi);
        }
        void drop() override { lws_set_timeout(wsi, PENDING_TIMEOUT_USER_REASON_BASE, LWS_TO_KILL_ASYNC); }
        void push(Outgoing message) {
            queue.push_back(std::move(message));
            lws_callback_on_writable(wsi);
        }
    };

    Options options;
    lws_context* context = nullptr;
    int listenPort = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::vector<lws_protocols> protocols;
    quorvex::transport::detail::LwsLogContext log; // its own, beside the library's loops in the same process

    std::mutex commandLock; // guards commands, alive
    std::vector<std::function<void()>> commands;
    bool alive = false;

    std::map<lws*, std::unique_ptr<PeerState>> peers; // server thread
    std::map<int, PeerState*> peersById;                // server thread
    int nextPeer = 1;
    FrameHandler frameHandler;
    OpenHandler openHandler;

    mutable Signal signal; // guards the records below
    std::vector<Frame> received;
    std::size_t receivedCount = 0;
    std::size_t receivedBinary = 0;
    std::size_t framesWanted = 0; // a waiter's target
    std::size_t receivedBytes = 0;
    int openedCount = 0;
    int resumedCount = 0; // TLS connections that resumed an earlier session
    int closedCount = 0;

    void post(std::function<void()> command) {
        std::lock_guard<std::mutex> guard(commandLock);
        if (!alive) return;
        commands.push_back(std::move(command));
        lws_cancel_service(context);
    }

    void drain() {
        std::vector<std::function<void()>> batch;
        {
            std::lock_guard<std::mutex> guard(commandLock);
            batch.swap(commands);
        }
        for (auto& command : batch) command();
    }

    void withPeer(int id, std::function<void(PeerState&)> action) {
        post([this, id, action] {
            auto found = peersById.find(id);
            if (found != peersById.end()) action(*found->second);
        });
    }

    static int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len) {
        auto* self = static_cast<Impl*>(lws_context_user(lws_get_context(wsi)));
        if (!self) return 0;
        switch (reason) {
        case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
            self->drain();
            return 0;
        case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
            return self->options.refuseHandshake ? 1 : 0;
        case LWS_CALLBACK_ESTABLISHED:
            self->opened(wsi);
            return 0;
        case LWS_CALLBACK_RECEIVE:
            self->receive(wsi, in, len);
            return 0;
        case LWS_CALLBACK_SERVER_WRITEABLE:
            return self->writable(wsi);
        case LWS_CALLBACK_CLOSED:
            self->closed(wsi);
            return 0;
        default:
            return lws_callback_http_dummy(wsi, reason, user, in, len);
        }
    }

    void opened(lws* wsi) {
        auto peer = std::make_unique<PeerState>();
        peer->server = this;
        peer->wsi = wsi;
        peer->number = nextPeer++;
        PeerState* raw = peer.get();
        peersById[raw->number] = raw;
        peers[wsi] = std::move(peer);
        SSL* tls = lws_get_ssl(wsi);
        bool resumed = tls && SSL_session_reused(tls);
        signal.update([&] {
            ++openedCount;
            resumedCount += resumed;
        });
        if (openHandler) openHandler(*raw);
    }

    void receive(lws* wsi, void* in, std::size_t len) {
        auto found = peers.find(wsi);
        if (found == peers.end()) return;
        PeerState& peer = *found->second;
        if (lws_is_first_fragment(wsi)) {
            peer.rx.clear();
            peer.rxBinary = lws_frame_is_binary(wsi);
        }
        peer.rx.append(static_cast<const char*>(in), len);
        if (!lws_is_final_fragment(wsi)) return;
        Frame frame{peer.number, peer.rxBinary, std::move(peer.rx)};
        peer.rx.clear();
        {
            // Waking the waiter for every frame would dominate load runs: wake it when its count is reached.
            std::lock_guard<std::mutex> guard(signal.lock());
            ++receivedCount;
            receivedBinary += frame.binary;
            receivedBytes += frame.data.size();
            if (!options.countOnly) received.push_back(frame);
            if (receivedCount >= framesWanted) signal.notifyAll();
        }
        if (frameHandler) frameHandler(peer, frame);
    }

    int writable(lws* wsi) {
        auto found = peers.find(wsi);
        if (found == peers.end()) return 0;
        PeerState& peer = *found->second;
        if (!peer.queue.empty()) {
            Outgoing& out = peer.queue.front();
            std::size_t chunk = out.fragment ? std::min(out.fragment, out.bytes.size() - out.sent)
                                             : out.bytes.size();
            bool first = out.sent == 0;
            bool last = out.sent + chunk == out.bytes.size();
            std::vector<unsigned char> buffer(LWS_PRE + chunk);
            std::copy(out.bytes.begin() + static_cast<long>(out.sent),
                      out.bytes.begin() + static_cast<long>(out.sent + chunk), buffer.begin() + LWS_PRE);
            int flags = lws_write_ws_flags(out.binary ? LWS_WRITE_BINARY : LWS_WRITE_TEXT, first, last);
            if (lws_write(wsi, buffer.data() + LWS_PRE, chunk, static_cast<lws_write_protocol>(flags)) <
                static_cast<int>(chunk))
                return -1;
            out.sent += chunk;
            if (last) peer.queue.pop_front();
        }
        if (!peer.queue.empty() || peer.closing) {
            if (peer.queue.empty()) {
                lws_close_reason(wsi, static_cast<lws_close_status>(peer.closeStatus), nullptr, 0);
                return -1;
            }
            lws_callback_on_writable(wsi);
        }
        return 0;
    }

    void closed(lws* wsi) {
        auto found = peers.find(wsi);
        if (found == peers.end()) return;
        peersById.erase(found->second->number);
        peers.erase(found);
        signal.update([&] { ++closedCount; });
    }

    void start() {
        protocols.resize(2);
        protocols[0] = lws_protocols{};
        protocols[0].name = "fixture";
        protocols[0].callback = &Impl::callback;
        protocols[0].rx_buffer_size = 4096;
        protocols[1] = lws_protocols{};

        std::promise<void> ready;
        auto started = ready.get_future();
        thread = std::thread([this, &ready] {
            lws_context_creation_info info{};
            info.port = 0;
            info.iface = address.c_str();
            info.protocols = protocols.data();
            info.user = this;
            info.options = LWS_SERVER_OPTION_FAIL_UPON_UNABLE_TO_BIND | LWS_SERVER_OPTION_EXPLICIT_VHOSTS;
            // An IPv4 address, an IPv4 socket: on Windows libwebsockets otherwise
            // listens on an IPv6 socket, which takes no IPv4 peers there.
            if (address.find(':') == std::string::npos) info.options |= LWS_SERVER_OPTION_DISABLE_IPV6;
            if (options.tls) {
                info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
                bool own = !certFile.empty();
                info.ssl_cert_filepath = own ? certFile.c_str() : selfSignedCertificate().cert.c_str();
                info.ssl_private_key_filepath = own ? keyFile.c_str() : selfSignedCertificate().key.c_str();
            }
            log.bind(info); // the vhost below is made from the same record
            context = lws_create_context(&info);
            lws_vhost* vhost = context ? lws_create_vhost(context, &info) : nullptr;
            if (vhost) listenPort = lws_get_vhost_listen_port(vhost);
            {
                std::lock_guard<std::mutex> guard(commandLock);
                alive = vhost != nullptr;
            }
            ready.set_value();
            if (!vhost) return;
            while (!stopping) {
                if (lws_service(context, 0) < 0) break;
            }
            {
                std::lock_guard<std::mutex> guard(commandLock);
                alive = false;
            }
            lws_context_destroy(context);
            peers.clear();
            peersById.clear();
        });
        started.wait();
        if (!listenPort) {
            thread.join();
            if (context) lws_context_destroy(context);
            throw std::runtime_error("test server could not listen on " + address);
        }
    }

    void stop() {
        stopping = true;
        {
            std::lock_guard<std::mutex> guard(commandLock);
            if (alive) lws_cancel_service(context);
        }
        if (thread.joinable()) thread.join();
    }
};

TestServer::TestServer() : TestServer(Options{}) {}

TestServer::TestServer(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->options = options;
    impl_->start();
}

TestServer::TestServer(const std::string& certFile, const std::string& keyFile, const std::string& address)
    : impl_(std::make_unique<Impl>()) {
    impl_->options.tls = true;
    impl_->address = address;
    impl_->certFile = certFile;
    impl_->keyFile = keyFile;
    impl_->start();
}

TestServer::~TestServer() { impl_->stop(); }

int TestServer::port() const { return impl_->listenPort; }

std::string TestServer::url(const std::string& path) const {
    bool v6 = impl_->address.find(':') != std::string::npos;
    std::string host = v6 ? "[" + impl_->address + "]" : impl_->address;
    return std::string(impl_->options.tls ? "wss" : "ws") + "://" + host + ":" + std::to_string(port()) + path;
}

void TestServer::onOpen(OpenHandler handler) {
    impl_->post([this, handler] { impl_->openHandler = handler; });
    // Handlers are stored on the server thread; wait until it has them.
    std::promise<void> stored;
    impl_->post([&stored] { stored.set_value(); });
    stored.get_future().wait();
}

void TestServer::onFrame(FrameHandler handler) {
    impl_->post([this, handler] { impl_->frameHandler = handler; });
    std::promise<void> stored;
    impl_->post([&stored] { stored.set_value(); });
    stored.get_future().wait();
}

void TestServer::send(int peer, const std::string& text) {
    impl_->withPeer(peer, [text](Impl::PeerState& p) { p.sendText(text); });
}

void TestServer::sendBinary(int peer, const std::string& bytes) {
    impl_->withPeer(peer, [bytes](Impl::PeerState& p) { p.sendBinary(bytes); });
}

void TestServer::closeClean(int peer, int status) {
    impl_->withPeer(peer, [status](Impl::PeerState& p) {
        p.closeStatus = status;
        p.closeClean();
    });
}

void TestServer::drop(int peer) {
    impl_->withPeer(peer, [](Impl::PeerState& p) { p.drop(); });
}

std::vector<Frame> TestServer::frames() const {
    std::lock_guard<std::mutex> guard(impl_->signal.lock());
    return impl_->received;
}

std::vector<Frame> TestServer::framesOf(int peer) const {
    std::vector<Frame> result;
    for (auto& frame : frames())
        if (frame.peer == peer) result.push_back(frame);
    return result;
}

std::size_t TestServer::framesReceived() const {
    std::lock_guard<std::mutex> guard(impl_->signal.lock());
    return impl_->receivedCount;
}

std::size_t TestServer::binaryFramesReceived() const {
    std::lock_guard<std::mutex> guard(impl_->signal.lock());
    return impl_->receivedBinary;
}

std::size_t TestServer::bytesReceived() const {
    std::lock_guard<std::mutex> guard(impl_->signal.lock());
    return impl_->receivedBytes;
}

int TestServer::opened() const {
    std::lock_guard<std::mutex> guard(impl_->signal.lock());
    return impl_->openedCount;
}

int TestServer::resumed() const {
    std::lock_guard<std::mutex> guard(impl_->signal.lock());
    return impl_->resumedCount;
}

int TestServer::closed() const {
    std::lock_guard<std::mutex> guard(impl_->signal.lock());
    return impl_->closedCount;
}

bool TestServer::waitForFrames(std::size_t count, std::chrono::milliseconds deadline) const {
    return impl_->signal.waitUntil(
        [&] {
            impl_->framesWanted = count;
            return impl_->receivedCount >= count;
        },
        deadline);
}

bool TestServer::waitForOpened(int count, std::chrono::milliseconds deadline) const {
    return impl_->signal.waitUntil([&] { return impl_->openedCount >= count; }, deadline);
}

bool TestServer::waitForClosed(int count, std::chrono::milliseconds deadline) const {
    return impl_->signal.waitUntil([&] { return impl_->closedCount >= count; }, deadline);
}

} // namespace quorvex::test
