// SPDX-License-Identifier: Apache-2.0
#include "transport/client/client_vhosts.h"

namespace quorvex::transport::detail {

lws_vhost* ClientVhosts::forRoute(lws_context* context, const lws_protocols* protocols, const tagWSSRoute& route,
                                  const char** why) {
    if (context != context_) {
        vhosts_.clear(); // vhosts die with their context
        context_ = context;
    }
    if (!route.proxied() && route.caFile.empty()) return nullptr;
    std::string proxy;
    if (route.proxied()) {
        proxy = route.proxyLabel();
        if (!route.proxyCredentials.empty()) proxy = route.proxyCredentials + "@" + proxy;
    } else {
        proxy = ":0"; // no proxy: an empty host and port 0, without libwebsockets' complaint
    }
    std::string key = proxy + '\n' + route.caFile;
    auto found = vhosts_.find(key);
    if (found != vhosts_.end()) return found->second;
    if (vhosts_.size() >= kMaxVhosts) {
        *why = "too many distinct proxy and CA settings";
        return nullptr;
    }
    std::string name = "quorvex-client-" + std::to_string(vhosts_.size() + 1);
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protocols;
    info.vhost_name = name.c_str();
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    info.http_proxy_address = proxy.c_str();
    if (!route.caFile.empty()) info.client_ssl_ca_filepath = route.caFile.c_str();
    lws_vhost* vhost = lws_create_vhost(context, &info);
    if (!vhost) {
        *why = "the client vhost could not be made";
        return nullptr;
    }
    vhosts_.emplace(key, vhost);
    return vhost;
}

} // namespace quorvex::transport::detail
