// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_PROXY_ROUTE_H
#define QUORVEX_TRANSPORT_CLIENT_PROXY_ROUTE_H

#include <optional>
#include <string>

#include "transport/client/url.h"

namespace quorvex::transport::detail {

// An HTTP proxy that tunnels with CONNECT.
struct ProxyUrl {
    std::string host;        // without IPv6 brackets
    int port = 0;
    std::string credentials; // "user:password", percent-decoded; empty: none
    // host:port, for log lines: never the credentials.
    std::string label() const;
};

// Accepts http://[user:password@]host[:port][/] and the same without a
// scheme, as curl does; the port defaults to 1080. On refusal, *why says
// what is wrong.
std::optional<ProxyUrl> parseProxyUrl(const std::string& text, const char** why = nullptr);

// curl's no_proxy: entries separated by commas or blanks, each "*", a host
// name that its subdomains match too (dots at its ends ignored, as a
// trailing dot on the host is), or an IP address that an address matches
// by value, within a CIDR range with "/bits". Case-insensitive. The URL's
// port plays no part; an entry with a port of its own matches no host.
bool bypassesProxy(const std::string& host, const std::string& noProxy);

// The proxy for one connection to url, or nothing for a direct one.
// Environment, as curl reads it: http_proxy for ws://, https_proxy for
// wss:// (lower case first, then upper case), no_proxy / NO_PROXY.
// A proxy URL that does not parse is reported through *why, and the
// connection is refused rather than sent direct behind the user's back.
std::optional<ProxyUrl> proxyFor(const WsUrl& url, const ProxyChoice& choice, const char** why);

} // namespace quorvex::transport::detail

#endif
