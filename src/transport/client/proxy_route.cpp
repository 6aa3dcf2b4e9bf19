// SPDX-License-Identifier: Apache-2.0
#include "transport/client/proxy_route.h"

#include "platform/net.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace quorvex::transport::detail {

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool percentDecode(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

bool parsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    port = std::atoi(text.c_str());
    return port >= 1 && port <= 65535;
}

const char* fail(const char** why, const char* reason) {
    if (why) *why = reason;
    return reason;
}

std::string environment(const char* lowerName, const char* upperName) {
    for (const char* name : {lowerName, upperName}) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return std::string();
}

// An IP address as bytes in network order: 4 for IPv4, 16 for IPv6.
struct Address {
    unsigned char bytes[16] = {};
    std::size_t size = 0;
};

std::optional<Address> addressOf(const std::string& text) {
    Address address;
    if (inet_pton(AF_INET, text.c_str(), address.bytes) == 1) address.size = 4;
    else if (inet_pton(AF_INET6, text.c_str(), address.bytes) == 1) address.size = 16;
    else return std::nullopt;
    return address;
}

// An address entry, "[v6]" or with "/bits", matches an address of its own
// family within its first bits.
bool inRange(const Address& host, std::string entry) {
    entry.erase(std::remove(entry.begin(), entry.end(), '['), entry.end());
    entry.erase(std::remove(entry.begin(), entry.end(), ']'), entry.end());
    std::size_t bits = host.size * 8;
    std::size_t slash = entry.find('/');
    if (slash != std::string::npos) {
        std::string digits = entry.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        bits = static_cast<std::size_t>(std::atoi(digits.c_str()));
        entry.erase(slash);
    }
    std::optional<Address> network = addressOf(entry);
    if (!network || network->size != host.size || bits > host.size * 8) return false;
    std::size_t whole = bits / 8, rest = bits % 8;
    if (std::memcmp(host.bytes, network->bytes, whole) != 0) return false;
    unsigned mask = (0xffu << (8 - rest)) & 0xffu;
    return rest == 0 || ((host.bytes[whole] ^ network->bytes[whole]) & mask) == 0;
}

// A name entry matches the name itself and its subdomains; dots at either
// end of the entry do not count. An entry with a port matches no name.
bool inDomain(const std::string& name, std::string entry) {
    if (!entry.empty() && entry.back() == '.') entry.pop_back();
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (entry.empty() || name.size() < entry.size()) return false;
    if (name.compare(name.size() - entry.size(), entry.size(), entry) != 0) return false;
    return name.size() == entry.size() || name[name.size() - entry.size() - 1] == '.';
}

} // namespace

std::string ProxyUrl::label() const {
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<ProxyUrl> parseProxyUrl(const std::string& text, const char** why) {
    for (char c : text)
        if (static_cast<unsigned char>(c) <= ' ') return fail(why, "control character or space"), std::nullopt;
    std::string rest = text;
    std::size_t scheme = rest.find("://");
    if (scheme != std::string::npos) {
        if (lower(rest.substr(0, scheme)) != "http") return fail(why, "only http:// proxies are supported"), std::nullopt;
        rest = rest.substr(scheme + 3);
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('/') != std::string::npos) return fail(why, "a proxy URL has no path"), std::nullopt;
    ProxyUrl proxy;
    std::size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        if (!percentDecode(rest.substr(0, at), proxy.credentials))
            return fail(why, "bad percent escape in the credentials"), std::nullopt;
        rest = rest.substr(at + 1);
    }
    std::string port = "1080";
    if (!rest.empty() && rest[0] == '[') {
        std::size_t close = rest.find(']');
        if (close == std::string::npos) return fail(why, "unclosed IPv6 bracket"), std::nullopt;
        proxy.host = rest.substr(1, close - 1);
        std::string tail = rest.substr(close + 1);
        if (!tail.empty()) {
            if (tail[0] != ':') return fail(why, "text after the IPv6 address"), std::nullopt;
            port = tail.substr(1);
        }
    } else {
        std::size_t colon = rest.find(':');
        proxy.host = rest.substr(0, colon);
        if (colon != std::string::npos) port = rest.substr(colon + 1);
    }
    if (proxy.host.empty() || proxy.host.size() > kMaxHost) return fail(why, "no proxy host"), std::nullopt;
    if (!parsePort(port, proxy.port)) return fail(why, "proxy port not 1-65535"), std::nullopt;
    return proxy;
}

bool bypassesProxy(const std::string& host, const std::string& noProxy) {
    std::string name = lower(host);
    std::optional<Address> address = addressOf(name);
    if (!address && !name.empty() && name.back() == '.') name.pop_back(); // "localhost." is localhost
    std::size_t start = 0;
    while (start <= noProxy.size()) {
        std::size_t end = noProxy.find_first_of(", \t", start);
        if (end == std::string::npos) end = noProxy.size();
        std::string entry = lower(noProxy.substr(start, end - start));
        start = end + 1;
        if (entry == "*") return true;
        if (address ? inRange(*address, entry) : inDomain(name, entry)) return true;
    }
    return false;
}

std::optional<ProxyUrl> proxyFor(const WsUrl& url, const ProxyChoice& choice, const char** why) {
    if (why) *why = nullptr;
    bool useEnvironment = choice.useEnvironment;
    std::string proxy = url.tls ? choice.wssProxy : choice.wsProxy;
    if (proxy.empty() && useEnvironment)
        proxy = url.tls ? environment("https_proxy", "HTTPS_PROXY") : environment("http_proxy", "HTTP_PROXY");
    if (proxy.empty()) return std::nullopt;
    std::string noProxy = choice.noProxy;
    if (!choice.noProxySet && useEnvironment) noProxy = environment("no_proxy", "NO_PROXY");
    if (bypassesProxy(url.host, noProxy)) return std::nullopt;
    return parseProxyUrl(proxy, why);
}

} // namespace quorvex::transport::detail

namespace quorvex::transport {

bool isProxyUrl(const std::string& text, const char** why) { return detail::parseProxyUrl(text, why).has_value(); }

bool chooseProxy(const WsUrl& url, const ProxyChoice& choice, tagWSSRoute& route, const char** why) {
    const char* reason = nullptr;
    auto proxy = detail::proxyFor(url, choice, &reason);
    if (reason) {
        if (why) *why = reason;
        return false;
    }
    route.proxyHost = proxy ? proxy->host : std::string();
    route.proxyPort = proxy ? proxy->port : 0;
    route.proxyCredentials = proxy ? proxy->credentials : std::string();
    return true;
}

} // namespace quorvex::transport
