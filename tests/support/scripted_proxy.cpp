// SPDX-License-Identifier: Apache-2.0
#include "scripted_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace quorvex::test {

namespace {

constexpr int kPollMs = 50; // how soon a stopping proxy notices

bool sendAll(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// The request's head, up to its blank line; empty when the peer went first.
std::string readHead(int fd, const std::atomic<bool>& stopping) {
    std::string head;
    while (!stopping && head.find("\r\n\r\n") == std::string::npos && head.size() < 64 * 1024) {
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, kPollMs) <= 0) continue;
        char byte;
        if (::recv(fd, &byte, 1, 0) != 1) return std::string();
        head += byte;
    }
    return head;
}

int connectTo(const std::string& host, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.c_str(), &address.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

ScriptedProxy::ScriptedProxy(std::vector<Piece> answer, std::string credentials) : answer_(std::move(answer)) {
    if (!credentials.empty()) {
        std::string encoded(4 * ((credentials.size() + 2) / 3) + 1, '\0');
        int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]),
                                     reinterpret_cast<const unsigned char*>(credentials.data()),
                                     static_cast<int>(credentials.size()));
        expectedAuthorization_ = "Basic " + encoded.substr(0, static_cast<std::size_t>(length));
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("scripted proxy: cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptedProxy::~ScriptedProxy() {
    stopping_ = true;
    acceptor_.join();
    ::close(listener_);
}

std::vector<ScriptedProxy::Piece> ScriptedProxy::plainAnswer() {
    return {{"HTTP/1.1 200 Connection established\r\n\r\n", std::chrono::milliseconds(0)}};
}

std::vector<ScriptedProxy::Piece> ScriptedProxy::byteByByte(const std::string& answer,
                                                            std::chrono::milliseconds pause) {
    std::vector<Piece> pieces;
    for (char byte : answer) pieces.push_back({std::string(1, byte), pause});
    return pieces;
}

std::string ScriptedProxy::url(const std::string& escapedCredentials) const {
    std::string auth = escapedCredentials.empty() ? "" : escapedCredentials + "@";
    return "http://" + auth + "127.0.0.1:" + std::to_string(port_);
}

void ScriptedProxy::acceptLoop() {
    while (!stopping_) {
        pollfd in{listener_, POLLIN, 0};
        if (::poll(&in, 1, kPollMs) <= 0) continue;
        int client = ::accept(listener_, nullptr, nullptr);
        if (client >= 0) sessions_.emplace_back([this, client] { serve(client); });
    }
    for (std::thread& session : sessions_) session.join();
}

void ScriptedProxy::serve(int client) {
    std::string head = readHead(client, stopping_);
    std::string authorization;
    std::size_t at = head.find("\r\nProxy-Authorization: ");
    if (at != std::string::npos) {
        std::size_t from = at + 23;
        authorization = head.substr(from, head.find("\r\n", from) - from);
    }
    if (head.compare(0, 8, "CONNECT ") != 0 || authorization != expectedAuthorization_) {
        ++refusals_;
        sendAll(client, "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n");
        ::close(client);
        return;
    }
    std::string target = head.substr(8, head.find(' ', 8) - 8);
    std::size_t colon = target.rfind(':');
    int server = connectTo(target.substr(0, colon), std::atoi(target.c_str() + colon + 1));
    ++tunnels_;
    for (const Piece& piece : answer_) {
        std::this_thread::sleep_for(piece.pauseBefore); // the script's pace, not a wait for anything
        sendAll(client, piece.bytes);
    }
    if (server >= 0) relay(client, server);
    ::close(client);
    if (server >= 0) ::close(server);
}

void ScriptedProxy::relay(int client, int server) {
    char buffer[16 * 1024];
    while (!stopping_) {
        pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(both, 2, kPollMs) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!(both[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::recv(both[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0 || !sendAll(both[1 - i].fd, std::string(buffer, static_cast<std::size_t>(n)))) return;
        }
    }
}

} // namespace quorvex::test
