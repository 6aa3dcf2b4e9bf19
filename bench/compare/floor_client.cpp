// SPDX-License-Identifier: Apache-2.0
#include "floor_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorvex::bench {

namespace {

constexpr int kText = 1, kBinary = 2, kClose = 8;

const char* const kStart = R"({"service_type":"ASR","msg_type":"START_SESSION_REQ","msg_id":"1","msg_data":{"token":""}})";
const char* const kStop = R"({"service_type":"ASR","msg_type":"STOP_SESSION_REQ","msg_id":"2"})";

// Writes all of it; a full socket (never expected at this rate) is waited out.
bool sendAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            size -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN) return false;
        pollfd writable{fd, POLLOUT, 0};
        if (poll(&writable, 1, 5000) <= 0) return false;
    }
    return true;
}

std::string field(const std::string& json, const std::string& name) {
    std::string key = "\"" + name + "\":\"";
    std::size_t at = json.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    return json.substr(at, json.find('"', at) - at);
}

} // namespace

FloorClient::FloorClient(int port, Sessions& sessions, const FloorTls* tls)
    : port_(port), sessions_(sessions), tls_(tls), links_(static_cast<std::size_t>(sessions.size())) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event event{EPOLLIN, {}};
    event.data.u64 = ~0ull;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
    reader_ = std::thread([this] { readLoop(); });
}

FloorClient::~FloorClient() {
    running_ = false;
    std::uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0) std::perror("eventfd");
    reader_.join();
    for (auto& link : links_) {
        SSL_free(link.ssl);
        if (link.fd >= 0) close(link.fd);
    }
    close(wake_);
    close(epoll_);
}

void FloorClient::start(int session) {
    Link& link = links_[static_cast<std::size_t>(session)];
    link.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(link.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(link.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(link.fd);
        link.fd = -1;
        sessions_.started(session, false);
        return;
    }
    fcntl(link.fd, F_SETFL, fcntl(link.fd, F_GETFL) | O_NONBLOCK);
    if (tls_) {
        std::lock_guard<std::mutex> guard(link.tlsLock);
        link.ssl = tls_->open(link.fd); // the upgrade follows the handshake, on the reader
    } else {
        sendUpgrade(session);
    }
    epoll_event event{EPOLLIN, {}};
    event.data.u64 = static_cast<std::uint64_t>(session);
    epoll_ctl(epoll_, EPOLL_CTL_ADD, link.fd, &event);
}

void FloorClient::sendUpgrade(int session) {
    std::string request = "GET /asr HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
                          "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    Link& link = links_[static_cast<std::size_t>(session)];
    if (!sendRaw(link, reinterpret_cast<const unsigned char*>(request.data()), request.size()))
        std::fprintf(stderr, "floor: session %d: the upgrade request was not sent\n", session);
}

bool FloorClient::sendRaw(Link& link, const unsigned char* data, std::size_t size) {
    if (!tls_) return sendAll(link.fd, data, size);
    std::lock_guard<std::mutex> guard(link.tlsLock);
    return link.ssl && tlsWriteAll(link.ssl, link.fd, data, size);
}

long FloorClient::receive(Link& link, char* buffer, std::size_t size) {
    if (tls_) {
        std::lock_guard<std::mutex> guard(link.tlsLock);
        return tlsRead(link.ssl, buffer, size);
    }
    ssize_t got = recv(link.fd, buffer, size, 0);
    if (got > 0) return got;
    return got < 0 && errno == EAGAIN ? 0 : -1;
}

// Reader thread. False until the handshake is done and the upgrade sent.
bool FloorClient::finishHandshake(int session) {
    Link& link = links_[static_cast<std::size_t>(session)];
    TlsStep step;
    {
        std::lock_guard<std::mutex> guard(link.tlsLock);
        step = continueHandshake(link.ssl);
    }
    if (step == TlsStep::Failed) finish(session, false);
    if (step != TlsStep::Done) return false;
    link.handshaken = true;
    sendUpgrade(session);
    return true;
}

void FloorClient::sendFrame(int session, const unsigned char* pcm, int bytes) {
    sendMessage(session, kBinary, pcm, static_cast<std::size_t>(bytes));
}

void FloorClient::stop(int session) {
    if (links_[static_cast<std::size_t>(session)].fd < 0) return sessions_.ended(session, false);
    sendMessage(session, kText, reinterpret_cast<const unsigned char*>(kStop), std::strlen(kStop));
}

// One masked frame, header and payload in one buffer and one send().
void FloorClient::sendMessage(int session, int opcode, const unsigned char* payload, std::size_t bytes) {
    Link& link = links_[static_cast<std::size_t>(session)];
    unsigned char frame[14 + 4096];
    if (link.fd < 0 || bytes > 4096) return;
    std::size_t at = 0;
    frame[at++] = static_cast<unsigned char>(0x80 | opcode);
    if (bytes < 126) {
        frame[at++] = static_cast<unsigned char>(0x80 | bytes);
    } else {
        frame[at++] = 0x80 | 126;
        frame[at++] = static_cast<unsigned char>(bytes >> 8);
        frame[at++] = static_cast<unsigned char>(bytes);
    }
    const unsigned char mask[4] = {0x1f, 0x8b, 0x3c, 0x55};
    std::memcpy(frame + at, mask, 4);
    at += 4;
    for (std::size_t i = 0; i < bytes; ++i) frame[at + i] = payload[i] ^ mask[i & 3];
    sendRaw(link, frame, at + bytes);
}

void FloorClient::readLoop() {
    epoll_event events[256];
    while (running_) {
        int ready = epoll_wait(epoll_, events, 256, 1000);
        for (int i = 0; i < ready; ++i)
            if (events[i].data.u64 != ~0ull) onReadable(static_cast<int>(events[i].data.u64));
    }
}

void FloorClient::onReadable(int session) {
    Link& link = links_[static_cast<std::size_t>(session)];
    if (tls_ && !link.handshaken && !finishHandshake(session)) return;
    char buffer[16384];
    long got;
    while ((got = receive(link, buffer, sizeof buffer)) > 0) link.in.append(buffer, static_cast<std::size_t>(got));
    if (got < 0) return finish(session, false);
    if (!link.upgraded) {
        std::size_t end = link.in.find("\r\n\r\n");
        if (end == std::string::npos) return;
        if (link.in.compare(0, 12, "HTTP/1.1 101") != 0) return finish(session, false);
        link.in.erase(0, end + 4);
        link.upgraded = true;
        sendMessage(session, kText, reinterpret_cast<const unsigned char*>(kStart), std::strlen(kStart));
    }
    std::size_t at = 0;
    while (link.fd >= 0 && link.in.size() - at >= 2) {
        auto byte = [&](std::size_t i) { return static_cast<unsigned char>(link.in[at + i]); };
        std::size_t header = 2, length = byte(1) & 0x7f;
        if (length == 126) {
            if (link.in.size() - at < 4) break;
            length = (std::size_t(byte(2)) << 8) | byte(3);
            header = 4;
        } else if (length == 127) {
            break; // the load server never sends such frames
        }
        if (link.in.size() - at < header + length) break;
        int opcode = byte(0) & 0x0f;
        std::string payload = link.in.substr(at + header, length);
        at += header + length;
        if (opcode == kText) onMessage(session, payload);
        if (opcode == kClose) finish(session, false);
    }
    if (link.fd >= 0) link.in.erase(0, at);
}

void FloorClient::onMessage(int session, const std::string& text) {
    std::string type = field(text, "msg_type");
    if (type == "RECOGNITION_TEXT") {
        sessions_.text(session, field(text, "text"));
    } else if (type == "START_SESSION_RES") {
        links_[static_cast<std::size_t>(session)].startHeard = true;
        sessions_.started(session, true);
    } else if (type == "STOP_SESSION_RES") {
        unsigned char normal[2] = {0x03, 0xe8};
        sendMessage(session, kClose, normal, 2);
        finish(session, true);
    }
}

void FloorClient::finish(int session, bool ok) {
    Link& link = links_[static_cast<std::size_t>(session)];
    if (link.fd < 0) return;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, link.fd, nullptr);
    {
        std::lock_guard<std::mutex> guard(link.tlsLock);
        SSL_free(link.ssl);
        link.ssl = nullptr;
    }
    close(link.fd);
    link.fd = -1;
    link.in.clear();
    link.in.shrink_to_fit();
    if (!link.startHeard) sessions_.started(session, false);
    link.startHeard = true;
    sessions_.ended(session, ok);
}

} // namespace quorvex::bench
