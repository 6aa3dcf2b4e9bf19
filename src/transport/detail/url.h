#ifndef QUORVEX_TRANSPORT_DETAIL_URL_H
#define QUORVEX_TRANSPORT_DETAIL_URL_H

#include <optional>
#include <string>

namespace quorvex::transport::detail {

struct WsUrl {
    bool tls = false;
    std::string host;       // without IPv6 brackets
    int port = 0;
    std::string path;       // always starts with '/'
    std::string hostHeader; // host, bracketed for IPv6, plus ":port" when not the default
};

// Accepts ws:// and wss:// (any case) with a host, an optional port 1-65535
// and an optional path. Rejects control characters and spaces anywhere, so
// nothing can be smuggled into the handshake.
std::optional<WsUrl> parseWsUrl(const std::string& url);

// True for an IPv4 or IPv6 literal, which needs no name lookup.
bool isNumericHost(const std::string& host);

} // namespace quorvex::transport::detail

#endif
