// SPDX-License-Identifier: Apache-2.0
#include "transport/client/proxy_tunnel.h"

#include <uv.h>

#include <cstddef>
#include <cstring>

#include "platform/local_socket.h"
#include "platform/system.h"
#include "transport/client/proxy_answer.h"

namespace quorvex::transport::detail {

namespace {
constexpr std::size_t kReadBytes = 64 * 1024;
constexpr std::size_t kMaxQueuedBytes = 256 * 1024; // per direction, before its source is paused
} // namespace

struct ProxyTunnels::Tunnel {
    ProxyTunnels* owner = nullptr;
    std::uint64_t attempt = 0;
    Ready ready;
    uv_tcp_t proxy{};
    uv_pipe_t listener{};
    uv_pipe_t local{};
    uv_connect_t connecting{};
    int handles = 0; // made and not yet closed
    bool listening = false, accepted = false, closing = false;
    bool proxyConnected = false, relaying = false;
    bool proxyEnded = false, localEnded = false; // read to its end
    ProxyAnswer answer;
    std::string request, early; // early: the server's bytes behind the proxy's answer
};

namespace {

using Tunnel = ProxyTunnels::Tunnel;

struct Write {
    uv_write_t request{};
    std::unique_ptr<char[]> bytes;
    uv_stream_t* source = nullptr; // paused while this direction is full
};

uv_stream_t* stream(uv_tcp_t& handle) { return reinterpret_cast<uv_stream_t*>(&handle); }
uv_stream_t* stream(uv_pipe_t& handle) { return reinterpret_cast<uv_stream_t*>(&handle); }
uv_handle_t* handle(uv_stream_t* stream) { return reinterpret_cast<uv_handle_t*>(stream); }
Tunnel* tunnelOf(const void* handle) { return static_cast<Tunnel*>(static_cast<const uv_handle_t*>(handle)->data); }

void onClosed(uv_handle_t* closed) {
    Tunnel* tunnel = tunnelOf(closed);
    if (--tunnel->handles == 0) tunnel->owner->forget(tunnel);
}

void closeHandle(uv_handle_t* open) {
    if (!uv_is_closing(open)) uv_close(open, onClosed);
}

void closeTunnel(Tunnel* tunnel) {
    if (tunnel->closing) return;
    tunnel->closing = true;
    tunnel->ready = nullptr;
    closeHandle(handle(stream(tunnel->proxy)));
    if (tunnel->listening) closeHandle(handle(stream(tunnel->listener)));
    if (tunnel->accepted) closeHandle(handle(stream(tunnel->local)));
}

// Reports once, and closes the tunnel on failure.
void report(Tunnel* tunnel, const ConnectFailure* failure, const std::string& address = std::string()) {
    ProxyTunnels::Ready ready = std::move(tunnel->ready);
    tunnel->ready = nullptr;
    if (failure) closeTunnel(tunnel);
    if (ready) ready(failure, address);
}

void failWith(Tunnel* tunnel, int status, std::string text) {
    ConnectFailure failure{ConnectFailureKind::Proxy, status, 0, std::move(text)};
    report(tunnel, &failure);
}

void allocate(uv_handle_t*, std::size_t, uv_buf_t* buffer) {
    buffer->base = new char[kReadBytes];
    buffer->len = kReadBytes;
}

uv_stream_t* peerOf(Tunnel* tunnel, uv_stream_t* side) {
    return side == stream(tunnel->proxy) ? stream(tunnel->local) : stream(tunnel->proxy);
}

// A side read to its end closes the tunnel once what it sent has left.
void closeIfDone(Tunnel* tunnel) {
    if (tunnel->localEnded && uv_stream_get_write_queue_size(stream(tunnel->proxy)) == 0) closeTunnel(tunnel);
    if (tunnel->proxyEnded && uv_stream_get_write_queue_size(stream(tunnel->local)) == 0) closeTunnel(tunnel);
}

void onRelayRead(uv_stream_t* from, ssize_t length, const uv_buf_t* buffer);

void onWritten(uv_write_t* request, int status) {
    std::unique_ptr<Write> write(static_cast<Write*>(request->data));
    Tunnel* tunnel = tunnelOf(request->handle);
    if (tunnel->closing) return;
    if (status < 0) return closeTunnel(tunnel);
    uv_stream_t* source = write->source;
    bool ended = source == stream(tunnel->proxy) ? tunnel->proxyEnded : tunnel->localEnded;
    if (!ended && uv_stream_get_write_queue_size(request->handle) <= kMaxQueuedBytes / 2)
        uv_read_start(source, allocate, onRelayRead); // again: harmless while it reads
    closeIfDone(tunnel);
}

void forward(Tunnel* tunnel, uv_stream_t* to, uv_stream_t* from, std::unique_ptr<char[]> bytes, std::size_t length) {
    auto write = std::make_unique<Write>();
    write->bytes = std::move(bytes);
    write->source = from;
    write->request.data = write.get();
    uv_buf_t buffer = uv_buf_init(write->bytes.get(), static_cast<unsigned int>(length));
    if (uv_write(&write->request, to, &buffer, 1, onWritten) != 0) return closeTunnel(tunnel);
    (void)write.release(); // onWritten frees it
    if (uv_stream_get_write_queue_size(to) > kMaxQueuedBytes) uv_read_stop(from);
}

void onRelayRead(uv_stream_t* from, ssize_t length, const uv_buf_t* buffer) {
    std::unique_ptr<char[]> bytes(buffer->base);
    Tunnel* tunnel = tunnelOf(from);
    if (tunnel->closing || length == 0) return;
    if (length == UV_EOF) {
        uv_read_stop(from);
        (from == stream(tunnel->proxy) ? tunnel->proxyEnded : tunnel->localEnded) = true;
        return closeIfDone(tunnel);
    }
    if (length < 0) return closeTunnel(tunnel);
    auto size = static_cast<std::size_t>(length);
    if (size < kReadBytes / 4) { // a queue of small reads must not hold a full buffer each
        std::unique_ptr<char[]> fitted(new char[size]);
        std::memcpy(fitted.get(), bytes.get(), size);
        bytes = std::move(fitted);
    }
    forward(tunnel, peerOf(tunnel, from), from, std::move(bytes), size);
}

// Only a connection of this process is libwebsockets'.
bool ours(uv_pipe_t& accepted) {
    uv_os_fd_t fd{};
    return uv_fileno(reinterpret_cast<uv_handle_t*>(&accepted), &fd) == 0 &&
           platform::peerIsThisProcess(fd);
}

void onLocalConnection(uv_stream_t* listener, int status) {
    Tunnel* tunnel = tunnelOf(listener);
    if (tunnel->closing || tunnel->accepted) return;
    if (status < 0) return closeTunnel(tunnel);
    uv_pipe_init(listener->loop, &tunnel->local, 0);
    tunnel->local.data = tunnel;
    ++tunnel->handles;
    tunnel->accepted = true;
    if (uv_accept(listener, stream(tunnel->local)) != 0 || !ours(tunnel->local)) return closeTunnel(tunnel);
    closeHandle(handle(listener));
    tunnel->relaying = true;
    tunnel->owner->drop(tunnel->attempt); // relaying: it now ends with libwebsockets' connection, not the attempt
    if (!tunnel->early.empty()) {
        std::unique_ptr<char[]> bytes(new char[tunnel->early.size()]);
        std::memcpy(bytes.get(), tunnel->early.data(), tunnel->early.size());
        forward(tunnel, stream(tunnel->local), stream(tunnel->proxy), std::move(bytes), tunnel->early.size());
    }
    uv_read_start(stream(tunnel->local), allocate, onRelayRead);
    uv_read_start(stream(tunnel->proxy), allocate, onRelayRead);
}

bool listen(Tunnel* tunnel, uv_loop_t* loop, std::string& address) {
    int fd = platform::openPrivateListener(address);
    if (fd < 0) return false;
    uv_pipe_init(loop, &tunnel->listener, 0);
    tunnel->listener.data = tunnel;
    ++tunnel->handles;
    tunnel->listening = true;
    if (uv_pipe_open(&tunnel->listener, fd) != 0) {
        platform::closeDescriptor(fd);
        return false;
    }
    return uv_listen(stream(tunnel->listener), 1, onLocalConnection) == 0;
}

void onAnswer(uv_stream_t* proxy, ssize_t length, const uv_buf_t* buffer) {
    std::unique_ptr<char[]> bytes(buffer->base);
    Tunnel* tunnel = tunnelOf(proxy);
    if (tunnel->closing || length == 0) return;
    if (length == UV_EOF) return failWith(tunnel, 0, "closed the connection before answering the CONNECT request");
    if (length < 0) return failWith(tunnel, 0, uv_strerror(static_cast<int>(length)));
    std::size_t used = 0;
    ProxyAnswer::State state = tunnel->answer.feed(bytes.get(), static_cast<std::size_t>(length), &used);
    if (state == ProxyAnswer::State::Incomplete) return;
    if (state == ProxyAnswer::State::Bad) return failWith(tunnel, 0, tunnel->answer.why());
    int status = tunnel->answer.status();
    if (status != 200) return failWith(tunnel, status, "answered " + std::to_string(status));
    uv_read_stop(proxy); // until libwebsockets is there to take what the server sends
    tunnel->early.assign(bytes.get() + used, static_cast<std::size_t>(length) - used);
    std::string address;
    if (!listen(tunnel, proxy->loop, address)) return failWith(tunnel, 0, "the tunnel's local socket could not be made");
    report(tunnel, nullptr, address);
}

void onRequestWritten(uv_write_t* request, int status) {
    Tunnel* tunnel = tunnelOf(request->handle);
    delete request;
    if (!tunnel->closing && status < 0) failWith(tunnel, 0, std::string("sending CONNECT failed: ") + uv_strerror(status));
}

void onProxyConnected(uv_connect_t* connecting, int status) {
    Tunnel* tunnel = tunnelOf(connecting->handle);
    if (tunnel->closing) return;
    if (status < 0)
        return failWith(tunnel, 0, status == UV_ECONNREFUSED ? "connection refused" : uv_strerror(status));
    tunnel->proxyConnected = true;
    auto* write = new uv_write_t{};
    uv_buf_t buffer = uv_buf_init(&tunnel->request[0], static_cast<unsigned int>(tunnel->request.size()));
    if (uv_write(write, connecting->handle, &buffer, 1, onRequestWritten) != 0) {
        delete write;
        return failWith(tunnel, 0, "sending CONNECT failed");
    }
    uv_read_start(connecting->handle, allocate, onAnswer);
}

bool connectTo(Tunnel* tunnel, uv_loop_t* loop, const std::string& address, int port) {
    sockaddr_storage target{};
    bool v6 = address.find(':') != std::string::npos;
    int parsed = v6 ? uv_ip6_addr(address.c_str(), port, reinterpret_cast<sockaddr_in6*>(&target))
                    : uv_ip4_addr(address.c_str(), port, reinterpret_cast<sockaddr_in*>(&target));
    uv_tcp_init(loop, &tunnel->proxy);
    tunnel->proxy.data = tunnel;
    ++tunnel->handles;
    return parsed == 0 && uv_tcp_connect(&tunnel->connecting, &tunnel->proxy, reinterpret_cast<sockaddr*>(&target),
                                         onProxyConnected) == 0;
}

} // namespace

ProxyTunnels::ProxyTunnels() = default;
ProxyTunnels::~ProxyTunnels() = default; // the loop closed every handle before

void ProxyTunnels::open(uv_loop_s* loop, std::uint64_t attempt, const std::string& proxyAddress, int proxyPort,
                        std::string request, Ready ready) {
    auto owned = std::make_unique<Tunnel>();
    Tunnel* tunnel = owned.get();
    tunnel->owner = this;
    tunnel->attempt = attempt;
    tunnel->ready = std::move(ready);
    tunnel->request = std::move(request);
    live_.emplace(tunnel, std::move(owned));
    byAttempt_[attempt] = tunnel;
    if (!connectTo(tunnel, loop, proxyAddress, proxyPort)) failWith(tunnel, 0, "the proxy's address is not usable");
}

bool ProxyTunnels::proxyConnected(std::uint64_t attempt) const {
    auto found = byAttempt_.find(attempt);
    return found != byAttempt_.end() && found->second->proxyConnected;
}

void ProxyTunnels::drop(std::uint64_t attempt) {
    auto found = byAttempt_.find(attempt);
    if (found == byAttempt_.end()) return;
    Tunnel* tunnel = found->second;
    byAttempt_.erase(found);
    if (!tunnel->relaying) closeTunnel(tunnel);
}

void ProxyTunnels::closeAll() {
    for (auto& entry : live_) closeTunnel(entry.first);
}

void ProxyTunnels::forget(Tunnel* tunnel) {
    for (auto it = byAttempt_.begin(); it != byAttempt_.end(); ++it)
        if (it->second == tunnel) {
            byAttempt_.erase(it);
            break;
        }
    live_.erase(tunnel);
}

} // namespace quorvex::transport::detail
