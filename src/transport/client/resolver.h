// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_RESOLVER_H
#define QUORVEX_TRANSPORT_CLIENT_RESOLVER_H

#include <functional>
#include <string>
#include <vector>

#include "platform/net.h"

struct ares_channeldata;

namespace quorvex::transport::detail {

class LoopCore;

// Looks host names up without blocking the loop and without threads:
// c-ares sends the queries from the loop thread and the loop polls its
// sockets while lookups are pending. (libwebsockets would call getaddrinfo
// on the loop thread and stall every connection; glibc's getaddrinfo_a runs
// lookups on threads of its own, which ThreadSanitizer cannot follow.)
// Loop thread only.
class Resolver {
public:
    // Receives a numeric address, or an empty string when the name is unknown.
    using Done = std::function<void(const std::string& address)>;

    explicit Resolver(LoopCore& loop) : loop_(loop) {}
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // done runs on the loop thread, possibly before resolve returns.
    void resolve(const std::string& host, Done done);
    // Drops every pending lookup without calling its done; final.
    void stop();

    struct Query;

private:
    struct Watched {
        platform::Socket fd;
        bool read;
        bool write;
    };

    static void onSocketState(void* self, platform::Socket fd, int read, int write);
    bool openChannel();
    void keepPolling();
    void poll();

    LoopCore& loop_;
    ares_channeldata* channel_ = nullptr;
    std::vector<Watched> sockets_; // what c-ares asked to be watched
    int pending_ = 0;
    bool polling_ = false;
    bool stopped_ = false;
};

} // namespace quorvex::transport::detail

#endif
