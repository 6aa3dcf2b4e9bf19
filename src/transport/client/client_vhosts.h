// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_CLIENT_VHOSTS_H
#define QUORVEX_TRANSPORT_CLIENT_CLIENT_VHOSTS_H

#include <libwebsockets.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "transport/wss_route.h"

namespace quorvex::transport::detail {

// libwebsockets keeps the trusted CAs per vhost, so each distinct set (a CA
// file's contents, a folder) gets a client vhost of its own, made on first
// use and kept for the context's life. Proxies need none: the loop makes
// their tunnels itself. Loop thread only.
class ClientVhosts {
public:
    static constexpr std::size_t kMaxVhosts = 16;

    ClientVhosts();
    ~ClientVhosts();
    ClientVhosts(const ClientVhosts&) = delete;
    ClientVhosts& operator=(const ClientVhosts&) = delete;

    // The vhost for route's CAs; the context's default (null, *why unset)
    // for one that trusts the defaults. Null when it cannot be made or the
    // cap is reached; *why says which. route's proxy plays no part.
    lws_vhost* forRoute(lws_context* context, const lws_protocols* protocols, const tagWSSRoute& route,
                        const char** why);
    // Once the context is destroyed: its vhosts are gone, and the TLS
    // contexts made for them are freed.
    void forget();

private:
    struct TlsContexts; // OpenSSL's, kept out of this header
    lws_context* context_ = nullptr;
    std::map<std::string, lws_vhost*> vhosts_;
    std::unique_ptr<TlsContexts> tls_;
};

} // namespace quorvex::transport::detail

#endif
