// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_URL_H
#define QUORVEX_TRANSPORT_CLIENT_URL_H

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

// libwebsockets 4.1 formats the request line into 2,048 bytes and sends
// whatever it cut off: "GET " + path + " HTTP/1.1\r\n" must fit.
constexpr std::size_t kMaxRequestPath = 2048 - 1 - 15;
// A DNS name has at most 253 characters.
constexpr std::size_t kMaxHost = 253;

// Accepts ws:// and wss:// (any case) with a host, an optional port 1-65535
// and an optional path (with its query) of at most kMaxRequestPath bytes.
// Rejects control characters and spaces anywhere, so nothing can be
// smuggled into the handshake. On refusal, *why says what is wrong.
std::optional<WsUrl> parseWsUrl(const std::string& url, const char** why = nullptr);

// True for an IPv4 or IPv6 literal, which needs no name lookup.
bool isNumericHost(const std::string& host);

} // namespace quorvex::transport::detail

#endif
