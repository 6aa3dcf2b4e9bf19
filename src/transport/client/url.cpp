// SPDX-License-Identifier: Apache-2.0
#include "transport/client/url.h"

#include "platform/net.h"

#include <algorithm>
#include <cctype>

namespace quorvex::transport {

using detail::kMaxHost;
using detail::kMaxRequestPath;

namespace {

bool hasUnsafeCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7f; });
}

bool startsWithNoCase(const std::string& text, const char* prefix, std::size_t length) {
    if (text.size() < length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

std::optional<int> parsePort(const std::string& digits) {
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    int port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

// Splits "host[:port]" or "[v6][:port]".
bool splitAuthority(const std::string& authority, WsUrl& url) {
    std::string portText;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        url.host = authority.substr(1, close - 1);
        std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            hasPort = true;
            portText = rest.substr(1);
        }
        in6_addr probe{};
        if (inet_pton(AF_INET6, url.host.c_str(), &probe) != 1) return false;
    } else {
        std::size_t colon = authority.find(':');
        url.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            portText = authority.substr(colon + 1);
        }
        if (url.host.find_first_of("[]@") != std::string::npos) return false;
    }
    if (url.host.empty()) return false;
    if (hasPort) {
        auto port = parsePort(portText);
        if (!port) return false;
        url.port = *port;
    }
    return true;
}

} // namespace

std::optional<WsUrl> parseWsUrl(const std::string& text, const char** why) {
    const char* ignored = nullptr;
    const char*& reason = why ? *why : ignored;
    reason = "not a ws:// or wss:// URL with a host and a valid port";
    if (hasUnsafeCharacter(text)) {
        reason = "spaces and control characters are not allowed in a URL";
        return std::nullopt;
    }
    WsUrl url;
    std::size_t schemeLength = 0;
    if (startsWithNoCase(text, "wss://", 6)) {
        url.tls = true;
        schemeLength = 6;
    } else if (startsWithNoCase(text, "ws://", 5)) {
        schemeLength = 5;
    } else {
        return std::nullopt;
    }
    std::size_t authorityEnd = text.find_first_of("/?#", schemeLength);
    std::string authority = text.substr(schemeLength, authorityEnd - schemeLength);
    const int defaultPort = url.tls ? 443 : 80;
    url.port = defaultPort;
    if (!splitAuthority(authority, url)) return std::nullopt;

    std::string rest = authorityEnd == std::string::npos ? std::string() : text.substr(authorityEnd);
    rest = rest.substr(0, rest.find('#'));
    url.path = rest.empty() || rest[0] != '/' ? "/" + rest : rest;
    if (url.path.size() > kMaxRequestPath) {
        reason = "the path is longer than the 2032 bytes a request line can carry whole";
        return std::nullopt;
    }
    if (url.host.size() > kMaxHost) {
        reason = "the host name is longer than 253 characters";
        return std::nullopt;
    }

    bool v6 = url.host.find(':') != std::string::npos;
    url.hostHeader = v6 ? "[" + url.host + "]" : url.host;
    if (url.port != defaultPort) url.hostHeader += ":" + std::to_string(url.port);
    return url;
}

bool detail::isNumericHost(const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

} // namespace quorvex::transport
