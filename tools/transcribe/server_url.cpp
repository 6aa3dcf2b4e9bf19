// SPDX-License-Identifier: Apache-2.0
#include "server_url.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace quorvex::tools {
namespace {

// libwebsockets formats "GET " + path + " HTTP/1.1\r\n" into 2,048 bytes.
constexpr std::size_t kMaxPath = 2048 - 1 - 15;
constexpr std::size_t kMaxHost = 253; // a DNS name

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char p, char t) { return p == std::tolower(static_cast<unsigned char>(t)); });
}

std::optional<int> parsePort(const std::string& digits) {
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    int port = std::stoi(digits);
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

// "host[:port]" or "[v6][:port]" into url; false when it is neither.
bool splitAuthority(const std::string& authority, ServerUrl& url) {
    std::string port;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        url.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') return false;
            hasPort = true;
            port = authority.substr(close + 2);
        }
        in6_addr probe{};
        if (inet_pton(AF_INET6, url.host.c_str(), &probe) != 1) return false;
    } else {
        std::size_t colon = authority.find(':');
        url.host = authority.substr(0, colon);
        hasPort = colon != std::string::npos;
        if (hasPort) port = authority.substr(colon + 1);
        if (url.host.find_first_of("[]@") != std::string::npos) return false;
    }
    if (url.host.empty()) return false;
    if (!hasPort) return true;
    std::optional<int> number = parsePort(port);
    if (number) url.port = *number;
    return number.has_value();
}

} // namespace

std::string ServerUrl::where() const {
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<ServerUrl> parseServerUrl(const std::string& text, std::string& why) {
    why = "it is not a ws:// or wss:// URL with a host and a valid port";
    if (std::any_of(text.begin(), text.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7f; })) {
        why = "spaces and control characters are not allowed in a URL";
        return std::nullopt;
    }
    ServerUrl url;
    std::size_t schemeLength = startsWithNoCase(text, "wss://") ? 6 : startsWithNoCase(text, "ws://") ? 5 : 0;
    if (schemeLength == 0) return std::nullopt;
    url.port = schemeLength == 6 ? 443 : 80;
    std::size_t authorityEnd = text.find_first_of("/?#", schemeLength);
    if (!splitAuthority(text.substr(schemeLength, authorityEnd - schemeLength), url)) return std::nullopt;
    std::string rest = authorityEnd == std::string::npos ? std::string() : text.substr(authorityEnd);
    rest = rest.substr(0, rest.find('#'));
    url.path = rest.empty() || rest[0] != '/' ? "/" + rest : rest;
    if (url.path.size() > kMaxPath) {
        why = "the path is longer than the 2032 bytes a request line can carry whole";
        return std::nullopt;
    }
    if (url.host.size() > kMaxHost) {
        why = "the host name is longer than 253 characters";
        return std::nullopt;
    }
    return url;
}

} // namespace quorvex::tools
