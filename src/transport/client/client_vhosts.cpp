// SPDX-License-Identifier: Apache-2.0
#include "transport/client/client_vhosts.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "transport/client/ca_bundle.h"
#include "transport/client/tls_failure.h"
#include "transport/client/tls_sessions.h"
#include "platform/trust_store.h"
#include "transport/loop/log_context.h"

namespace quorvex::transport::detail {

namespace {

struct FreeTls {
    void operator()(SSL_CTX* tls) const { SSL_CTX_free(tls); }
};

} // namespace

// libwebsockets has no setting for a CA folder or for CAs read earlier (its
// in-memory CA takes one certificate), and shares one TLS context among
// vhosts whose settings it compares, which leave the folder out: a folder
// loaded into a shared one would be trusted by the others too. So a route
// with CAs of its own brings a TLS context of its own, set up as
// libwebsockets sets up its client ones (the system store, then the CAs).
SSL_CTX* newClientTls(const tagWSSRoute& route, const char** why) {
    std::unique_ptr<SSL_CTX, FreeTls> tls(SSL_CTX_new(TLS_client_method()));
    if (!tls) {
        *why = "the TLS context for the CAs could not be made";
        return nullptr;
    }
    SSL_CTX_set_options(tls.get(), SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(tls.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_default_verify_paths(tls.get());
    // Where OpenSSL's default paths are not the system's trusted roots (Windows).
    if (quorvex::platform::addSystemRoots(tls.get()) < 0)
        lwsl_err("the system's certificate store could not be opened: only the CAs given are trusted\n");
    // The file as read when the settings were made: a later rewrite counts from the next settings on.
    if (route.caBundle && !trustCaBundle(tls.get(), *route.caBundle)) {
        *why = "the CA file's certificates could not be trusted";
        return nullptr;
    }
    // The folder itself is read at each check, for the CA it needs.
    if (!route.caPath.empty() && SSL_CTX_load_verify_locations(tls.get(), nullptr, route.caPath.c_str()) != 1) {
        *why = "the CA folder could not be used";
        return nullptr;
    }
    watchTlsFailures(tls.get());
    enableTlsResumption(tls.get());
    ERR_clear_error(); // nothing of this may surface as a later connection's error
    return tls.release();
}

ClientVhosts::~ClientVhosts() { forget(); }

void ClientVhosts::forget() {
    for (auto& entry : vhosts_) SSL_CTX_free(entry.second.tls);
    vhosts_.clear();
    context_ = nullptr;
}

void ClientVhosts::hold(lws_vhost* vhost) {
    for (auto& entry : vhosts_)
        if (entry.second.vhost == vhost) ++entry.second.users;
}

void ClientVhosts::release(lws_vhost* vhost) {
    for (auto& entry : vhosts_)
        if (entry.second.vhost == vhost && entry.second.users > 0) --entry.second.users;
}

// A vhost none holds has no connection bound to it: libwebsockets frees it at once.
void ClientVhosts::evictUnused() {
    for (auto it = vhosts_.begin(); it != vhosts_.end();) {
        if (it->second.users > 0) {
            ++it;
            continue;
        }
        lws_vhost_destroy(it->second.vhost);
        SSL_CTX_free(it->second.tls);
        it = vhosts_.erase(it);
    }
}

lws_vhost* ClientVhosts::forRoute(lws_context* context, const lws_protocols* protocols, const tagWSSRoute& route,
                                  const char** why) {
    if (context != context_) {
        forget(); // vhosts die with their context
        context_ = context;
    }
    if (!route.caBundle && route.caPath.empty()) return nullptr;
    std::string key = (route.caBundle ? route.caBundle->digest : "") + '\n' + route.caPath;
    auto found = vhosts_.find(key);
    if (found != vhosts_.end()) return found->second.vhost;
    if (vhosts_.size() >= kMaxVhosts) evictUnused();
    if (vhosts_.size() >= kMaxVhosts) {
        *why = kTooMany;
        return nullptr;
    }
    std::string name = "quorvex-client-" + std::to_string(++made_);
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protocols;
    info.vhost_name = name.c_str();
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    info.http_proxy_address = ":0"; // none (proxies are tunnels of the loop's own), and not the environment's
    std::unique_ptr<SSL_CTX, FreeTls> tls(newClientTls(route, why));
    if (!tls) return nullptr;
    info.provided_client_ssl_ctx = tls.get();
    LwsLogContext::bindVhost(context, info);
    lws_vhost* vhost = lws_create_vhost(context, &info);
    if (!vhost) {
        *why = "the client vhost could not be made";
        return nullptr;
    }
    vhosts_.emplace(key, Entry{vhost, tls.release(), 0});
    return vhost;
}

} // namespace quorvex::transport::detail
