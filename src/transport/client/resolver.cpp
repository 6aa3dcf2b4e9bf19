// SPDX-License-Identifier: Apache-2.0
#include "transport/client/resolver.h"

#include <ares.h>
#include <libwebsockets.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "transport/loop/loop_core.h"
#include "transport/loop/loop_thread.h"

namespace quorvex::transport::detail {

struct Resolver::Query {
    Resolver* resolver;
    Done done;
};

namespace {

constexpr unsigned int kPollIntervalMs = 2;

// One address is tried. c-ares 1.34 sorts by RFC 6724 and puts ::1 before
// 127.0.0.1 for "localhost", 1.18 did not; servers listening on IPv4 alone
// (ours by default) would be unreachable by name on one release only. An
// IPv4 address is taken when there is one, on every release.
std::string preferredAddress(const ares_addrinfo* found) {
    std::string v6;
    for (const ares_addrinfo_node* node = found ? found->nodes : nullptr; node; node = node->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* raw = nullptr;
        if (node->ai_family == AF_INET) raw = &reinterpret_cast<const sockaddr_in*>(node->ai_addr)->sin_addr;
        if (node->ai_family == AF_INET6) raw = &reinterpret_cast<const sockaddr_in6*>(node->ai_addr)->sin6_addr;
        if (!raw || !inet_ntop(node->ai_family, raw, text, sizeof text)) continue;
        if (node->ai_family == AF_INET) return text;
        if (v6.empty()) v6 = text;
    }
    return v6;
}

void onAnswer(void* arg, int status, int, ares_addrinfo* found) {
    std::unique_ptr<Resolver::Query> query(static_cast<Resolver::Query*>(arg));
    std::string address = status == ARES_SUCCESS ? preferredAddress(found) : std::string();
    if (found) ares_freeaddrinfo(found);
    if (status == ARES_EDESTRUCTION || status == ARES_ECANCELLED) return; // stopped: nobody waits
    query->done(address);
}

} // namespace

Resolver::~Resolver() { stop(); }

bool Resolver::openChannel() {
    static std::once_flag libraryReady;
    std::call_once(libraryReady, [] { ares_library_init(ARES_LIB_INIT_ALL); });
    if (channel_) return true;
    // c-ares says which sockets to watch as it opens and closes them
    // (ares_getsock, which asked instead, is deprecated since c-ares 1.34).
    ares_options options{};
    options.sock_state_cb = &Resolver::onSocketState;
    options.sock_state_cb_data = this;
    if (ares_init_options(&channel_, &options, ARES_OPT_SOCK_STATE_CB) != ARES_SUCCESS) {
        channel_ = nullptr;
        lwsl_err("%s: the name resolver cannot start\n", loop_.moduleName().c_str());
        return false;
    }
    return true;
}

void Resolver::onSocketState(void* self, platform::Socket fd, int read, int write) {
    auto& sockets = static_cast<Resolver*>(self)->sockets_;
    auto found = std::find_if(sockets.begin(), sockets.end(), [fd](const Watched& w) { return w.fd == fd; });
    if (!read && !write) {
        if (found != sockets.end()) sockets.erase(found);
    } else if (found != sockets.end()) {
        *found = Watched{fd, read != 0, write != 0};
    } else {
        sockets.push_back(Watched{fd, read != 0, write != 0});
    }
}

void Resolver::resolve(const std::string& host, Done done) {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (stopped_ || !openChannel()) {
        done(std::string());
        return;
    }
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ++pending_;
    auto* query = new Query{this, [this, done = std::move(done)](const std::string& address) {
                                --pending_;
                                done(address);
                            }};
    ares_getaddrinfo(channel_, host.c_str(), nullptr, &hints, &onAnswer, query);
    keepPolling();
}

// While lookups are pending, the loop looks at c-ares' sockets and timeouts
// every few milliseconds; otherwise it does nothing for them.
void Resolver::keepPolling() {
    if (polling_ || pending_ == 0 || stopped_) return;
    polling_ = true;
    loop_.timers().add(
        [this](void*) {
            poll();
            polling_ = pending_ > 0 && !stopped_;
            return polling_;
        },
        kPollIntervalMs);
}

void Resolver::poll() {
    QUORVEX_ASSERT_LOOP_THREAD(loop_);
    if (!channel_ || stopped_) return;
    std::vector<pollfd> fds;
    fds.reserve(sockets_.size());
    for (const Watched& w : sockets_)
        fds.push_back(pollfd{w.fd, static_cast<short>((w.read ? POLLIN : 0) | (w.write ? POLLOUT : 0)), 0});
    std::size_t count = fds.size();
    if (count > 0) platform::pollSockets(fds.data(), count, 0);
    bool any = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (!fds[i].revents) continue;
        any = true;
        bool readable = fds[i].revents & (POLLIN | POLLERR | POLLHUP);
        bool writable = fds[i].revents & POLLOUT;
        ares_process_fd(channel_, readable ? fds[i].fd : ARES_SOCKET_BAD, writable ? fds[i].fd : ARES_SOCKET_BAD);
    }
    if (!any) ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD); // timeouts and retries
}

void Resolver::stop() {
    stopped_ = true;
    if (!channel_) return;
    ares_destroy(channel_); // pending queries end with ARES_EDESTRUCTION: no done
    channel_ = nullptr;
    sockets_.clear();
    pending_ = 0;
}

} // namespace quorvex::transport::detail
