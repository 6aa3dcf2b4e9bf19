// SPDX-License-Identifier: Apache-2.0
#include "reachability.h"

#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <utility>

#include "transport/client/url.h"

namespace quorvex::tools {
namespace {

using transport::detail::WsUrl;

struct AddressList {
    addrinfo* first = nullptr;
    ~AddressList() {
        if (first) freeaddrinfo(first);
    }
};

struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
};

std::string where(const WsUrl& url) {
    bool v6 = url.host.find(':') != std::string::npos;
    return (v6 ? "[" + url.host + "]" : url.host) + ":" + std::to_string(url.port);
}

// 0 when connected, otherwise the errno that says why (ETIMEDOUT at the deadline).
int connectWithin(const addrinfo& address, std::chrono::milliseconds deadline, Socket& socket) {
    socket.fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
    if (socket.fd < 0) return errno;
    if (::connect(socket.fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    pollfd watch{socket.fd, POLLOUT, 0};
    int ready = ::poll(&watch, 1, static_cast<int>(deadline.count()));
    if (ready <= 0) return ready == 0 ? ETIMEDOUT : errno;
    int problem = 0;
    socklen_t length = sizeof problem;
    ::getsockopt(socket.fd, SOL_SOCKET, SO_ERROR, &problem, &length);
    return problem;
}

// Empty when a TLS handshake succeeds on the connected socket, otherwise why not.
std::string tlsHandshakeProblem(const WsUrl& url, int fd, std::chrono::milliseconds deadline) {
    // Blocking from here on, bounded by the socket timeouts.
    timeval limit{static_cast<time_t>(deadline.count() / 1000), static_cast<suseconds_t>(deadline.count() % 1000 * 1000)};
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 || ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
        return std::strerror(errno);
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!context) return "no TLS context";
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr); // the library does not verify either
    std::unique_ptr<SSL, decltype(&SSL_free)> tls(SSL_new(context.get()), SSL_free);
    if (!tls || SSL_set_fd(tls.get(), fd) != 1) return "no TLS session";
    if (!transport::detail::isNumericHost(url.host)) SSL_set_tlsext_host_name(tls.get(), url.host.c_str());
    ERR_clear_error();
    errno = 0;
    if (SSL_connect(tls.get()) == 1) return {};
    unsigned long code = ERR_get_error();
    if (code != 0) return ERR_reason_error_string(code) ? ERR_reason_error_string(code) : "handshake error";
    return errno ? std::strerror(errno) : "the server closed the connection";
}

// The status and Retry-After of a WebSocket upgrade on a plain connection; 0 when no answer came.
std::pair<int, std::string> upgradeAnswer(const WsUrl& url, int fd, std::chrono::milliseconds deadline) {
    std::string request = "GET " + url.path + " HTTP/1.1\r\nHost: " + where(url) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                          "Sec-WebSocket-Key: cXVvcnZleC1wcm9iZS0xNg==\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return {0, ""};
    std::string answer;
    char chunk[1024];
    deadline = std::min(deadline, std::chrono::milliseconds(2000)); // a server that never answers is told apart below
    while (answer.find("\r\n\r\n") == std::string::npos && answer.size() < 8192) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(deadline.count())) <= 0) break;
        ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        answer.append(chunk, static_cast<std::size_t>(got));
    }
    if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12) return {0, ""};
    std::string lower;
    for (char c : answer) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string retry;
    auto at = lower.find("\r\nretry-after:");
    if (at != std::string::npos) {
        auto from = answer.find_first_not_of(' ', at + 14);
        retry = answer.substr(from, answer.find('\r', from) - from);
    }
    return {std::atoi(answer.c_str() + 9), retry};
}

Diagnosis afterConnecting(const WsUrl& url, int fd, std::chrono::milliseconds deadline) {
    if (url.tls) {
        std::string problem = tlsHandshakeProblem(url, fd, deadline);
        if (!problem.empty())
            return {Reach::TlsFailed, "TLS handshake with " + where(url) + " failed (" + problem +
                                          "); is it a wss:// server? Use ws:// for a plain one"};
    } else {
        auto [status, retry] = upgradeAnswer(url, fd, deadline);
        if (status == 503)
            return {Reach::Unavailable, where(url) + " takes no new sessions now (503: shutting down or busy); retry " +
                                            (retry.empty() ? "later" : "in " + retry + " s") + ", or use another server"};
        if (status == 404)
            return {Reach::Reachable, where(url) + " has no WebSocket on " + url.path + " (404); is the path right?"};
    }
    return {Reach::Reachable, where(url) + " accepted the connection but the WebSocket handshake on " + url.path +
                                  " failed; is it a quorvex server, and is the path right?"};
}

} // namespace

Diagnosis diagnoseConnection(const std::string& text, std::chrono::milliseconds deadline) {
    std::optional<WsUrl> url = transport::detail::parseWsUrl(text);
    if (!url) return {Reach::BadUrl, "'" + text + "' is not a ws:// or wss:// URL"};

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    AddressList addresses;
    std::string port = std::to_string(url->port);
    if (int problem = getaddrinfo(url->host.c_str(), port.c_str(), &hints, &addresses.first); problem != 0)
        return {Reach::NameUnknown, "cannot resolve the host name '" + url->host + "' (" + gai_strerror(problem) + ")"};

    int firstProblem = 0;
    for (addrinfo* address = addresses.first; address; address = address->ai_next) {
        Socket socket;
        int problem = connectWithin(*address, deadline, socket);
        if (problem == 0) return afterConnecting(*url, socket.fd, deadline);
        if (!firstProblem) firstProblem = problem;
    }
    if (firstProblem == ECONNREFUSED)
        return {Reach::Refused, "connection to " + where(*url) + " refused; is the server running on that port?"};
    if (firstProblem == ETIMEDOUT)
        return {Reach::Unreachable, "no answer from " + where(*url) + " within " +
                                        std::to_string(deadline.count() / 1000) + " s"};
    return {Reach::Unreachable, "cannot connect to " + where(*url) + " (" + std::strerror(firstProblem) + ")"};
}

} // namespace quorvex::tools
