// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_CLIENT_VHOSTS_H
#define QUORVEX_TRANSPORT_CLIENT_CLIENT_VHOSTS_H

#include <libwebsockets.h>

#include <map>
#include <string>

#include "transport/wss_route.h"

struct ssl_ctx_st;

namespace quorvex::transport::detail {

// A client TLS context set up as libwebsockets sets up its own (the system
// store, then the route's CAs), watched for the reasons of failed
// handshakes, resuming sessions of servers it verified; the caller frees
// it, after every vhost given it is gone.
// Null, with *why, when it cannot be made.
SSL_CTX* newClientTls(const tagWSSRoute& route, const char** why);

// libwebsockets keeps the trusted CAs per vhost, so each distinct set (a CA
// file's contents, a folder) gets a client vhost of its own, made on first
// use. Connections hold the vhost they use; one that none holds is
// destroyed when room is needed, so settings may change forever and only
// kMaxVhosts distinct sets in use at once are refused. Proxies need none:
// the loop makes their tunnels itself. Loop thread only.
class ClientVhosts {
public:
    static constexpr std::size_t kMaxVhosts = 16;
    static constexpr const char* kTooMany = "too many distinct CA settings in use at once (16 per loop thread)";

    ClientVhosts() = default;
    ~ClientVhosts();
    ClientVhosts(const ClientVhosts&) = delete;
    ClientVhosts& operator=(const ClientVhosts&) = delete;

    // The vhost for route's CAs; the context's default (null, *why unset)
    // for one that trusts the defaults. Null when it cannot be made or the
    // cap is reached; *why says which. route's proxy plays no part.
    lws_vhost* forRoute(lws_context* context, const lws_protocols* protocols, const tagWSSRoute& route,
                        const char** why);
    // A connection starts or stops using vhost (harmless on null or unknown).
    void hold(lws_vhost* vhost);
    void release(lws_vhost* vhost);
    // Once the context is destroyed: its vhosts are gone, and the TLS
    // contexts made for them are freed.
    void forget();

private:
    struct Entry {
        lws_vhost* vhost = nullptr;
        ssl_ctx_st* tls = nullptr; // ours; libwebsockets holds it without a reference of its own
        int users = 0;
    };
    void evictUnused();

    lws_context* context_ = nullptr;
    std::map<std::string, Entry> vhosts_;
    unsigned long made_ = 0; // names vhosts uniquely
};

} // namespace quorvex::transport::detail

#endif
