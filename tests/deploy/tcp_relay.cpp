// SPDX-License-Identifier: Apache-2.0
#include "tcp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvex::test {

namespace {

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void resetSocket(int fd) {
    linger abort{1, 0}; // close sends RST
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

} // namespace

TcpRelay::TcpRelay(int backendPort) : backend_(backendPort) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 || pipe(wake_) != 0)
        return;
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TcpRelay::~TcpRelay() {
    if (wake_[1] >= 0) close(wake_[1]);
    if (acceptor_.joinable()) acceptor_.join();
    resetAll();
    for (auto& pump : pumps_) pump.join();
    for (int fd : {listener_, wake_[0]})
        if (fd >= 0) close(fd);
}

void TcpRelay::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || fds[1].revents) return;
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        auto pair = std::make_shared<Pair>();
        pair->client = client;
        pair->server = connectTo(backend_.load());
        if (pair->server < 0) {
            resetSocket(client);
            close(client);
            continue;
        }
        std::lock_guard<std::mutex> guard(lock_);
        pairs_.push_back(pair);
        pumps_.emplace_back([this, pair] { pump(pair); });
    }
}

// Bytes both ways until either side ends; then both sides end.
void TcpRelay::pump(const std::shared_ptr<Pair>& pair) {
    char chunk[16384];
    for (bool open = true; open;) {
        pollfd fds[2] = {{pair->client, POLLIN, 0}, {pair->server, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) break;
        for (int side = 0; side < 2 && open; ++side) {
            if (!fds[side].revents) continue;
            ssize_t got = recv(fds[side].fd, chunk, sizeof chunk, 0);
            open = got > 0 && send(fds[1 - side].fd, chunk, static_cast<std::size_t>(got), MSG_NOSIGNAL) == got;
        }
    }
    std::lock_guard<std::mutex> guard(lock_); // resetAll touches no closed descriptor
    if (pair->reset) {
        resetSocket(pair->client);
        resetSocket(pair->server);
    }
    pair->closed = true;
    close(pair->client);
    close(pair->server);
}

void TcpRelay::resetAll() {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& pair : pairs_) {
        if (pair->closed) continue;
        pair->reset = true;
        shutdown(pair->client, SHUT_RD); // wakes its pump, which closes both with a reset
        shutdown(pair->server, SHUT_RD);
    }
    pairs_.clear();
}

} // namespace quorvex::test
