// SPDX-License-Identifier: Apache-2.0
#include "wire_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace quorvex::test {

namespace {

std::string base64(const unsigned char* data, std::size_t size) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        std::uint32_t chunk = std::uint32_t(data[i]) << 16;
        if (i + 1 < size) chunk |= std::uint32_t(data[i + 1]) << 8;
        if (i + 2 < size) chunk |= data[i + 2];
        out += kAlphabet[(chunk >> 18) & 63];
        out += kAlphabet[(chunk >> 12) & 63];
        out += i + 1 < size ? kAlphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < size ? kAlphabet[chunk & 63] : '=';
    }
    return out;
}

bool readExactly(int fd, void* buffer, std::size_t size) {
    auto* at = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t got = ::recv(fd, at, size, 0);
        if (got <= 0) return false;
        at += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool sendAll(int fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Reads one client frame and unmasks its payload.
bool readFrame(int fd, WirePeer::WireFrame& frame) {
    unsigned char head[2];
    if (!readExactly(fd, head, 2)) return false;
    frame.fin = (head[0] & 0x80) != 0;
    frame.opcode = head[0] & 0x0f;
    std::uint64_t length = head[1] & 0x7f;
    int extra = length == 126 ? 2 : length == 127 ? 8 : 0;
    if (extra) {
        unsigned char wide[8];
        if (!readExactly(fd, wide, static_cast<std::size_t>(extra))) return false;
        length = 0;
        for (int i = 0; i < extra; ++i) length = length << 8 | wide[i];
    }
    unsigned char key[4] = {};
    if ((head[1] & 0x80) && !readExactly(fd, key, 4)) return false;
    frame.payload.resize(static_cast<std::size_t>(length));
    if (!readExactly(fd, frame.payload.data(), frame.payload.size())) return false;
    for (std::size_t i = 0; i < frame.payload.size(); ++i) frame.payload[i] = static_cast<char>(frame.payload[i] ^ key[i & 3]);
    return true;
}

std::string serverFrame(int opcode, const std::string& payload) {
    std::string frame(1, static_cast<char>(0x80 | opcode));
    if (payload.size() < 126) {
        frame += static_cast<char>(payload.size());
    } else { // replies stay far below 64 KiB
        frame += static_cast<char>(126);
        frame += static_cast<char>(payload.size() >> 8);
        frame += static_cast<char>(payload.size() & 0xff);
    }
    return frame + payload;
}

std::string answer(const std::string& type, const std::string& data) {
    return R"({"service_type":"ASR","msg_type":")" + type + R"(","msg_id":"","msg_code":0,"msg_desc":"","msg_data":)" +
           data + "}";
}

} // namespace

WirePeer::WirePeer(Mode mode) : mode_(mode) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096; // inherited by accepted sockets: a deaf peer's window fills quickly
    ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listenFd_, 8) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("stalling server: cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    if (mode_ != Mode::NeverAnswer) thread_ = std::thread([this] { serveOne(); });
}

WirePeer::~WirePeer() {
    int peer = -1;
    signal_.update([&] {
        stopping_ = true;
        peer = peerFd_;
    });
    ::shutdown(listenFd_, SHUT_RDWR); // wakes a blocked accept
    if (peer >= 0) ::shutdown(peer, SHUT_RDWR); // and a blocked read
    if (thread_.joinable()) thread_.join();
    if (peer >= 0) ::close(peer);
    ::close(listenFd_);
}

std::string WirePeer::url(const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + "/asr";
}

bool WirePeer::waitStarted(std::chrono::milliseconds deadline) {
    return signal_.waitUntil([this] { return started_; }, deadline);
}

void WirePeer::serveOne() {
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return;
    bool stopping = false;
    signal_.update([&] {
        stopping = stopping_;
        if (!stopping) peerFd_ = fd;
    });
    if (stopping) {
        ::close(fd);
        return;
    }
    if (mode_ == Mode::NotFound) {
        refuseUpgrade(fd);
        return;
    }
    if (!answerUpgrade(fd)) return;
    if (mode_ == Mode::Recording || mode_ == Mode::RecordingAndPinging) {
        record(fd);
        return;
    }
    WireFrame start;
    if (!readFrame(fd, start)) return;
    sendAll(fd, serverFrame(1, answer("START_SESSION_RES", R"({"session_id":"deaf-1"})")));
    signal_.update([this] { started_ = true; });
    // From here on nothing is read: the connection stays open and silent.
}

void WirePeer::record(int fd) {
    WireFrame frame;
    int binaryFrames = 0;
    while (readFrame(fd, frame)) {
        signal_.update([&] { frames_.push_back(frame); });
        if (frame.opcode == 8) {
            sendAll(fd, serverFrame(8, frame.payload.substr(0, 2)));
            return;
        }
        if (frame.opcode == 2 && mode_ == Mode::RecordingAndPinging) {
            sendAll(fd, serverFrame(9, std::to_string(++binaryFrames)));
            // A slow reader's pause, not a wait for anything.
            if (binaryFrames % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (frame.payload.find("START_SESSION_REQ") != std::string::npos)
            sendAll(fd, serverFrame(1, answer("START_SESSION_RES", R"({"session_id":"wire-1"})")));
        if (frame.payload.find("STOP_SESSION_REQ") != std::string::npos)
            sendAll(fd, serverFrame(1, answer("STOP_SESSION_RES", "{}")));
    }
}

std::string WirePeer::requestLine() {
    std::lock_guard<std::mutex> guard(signal_.lock());
    return requestLine_;
}

std::vector<WirePeer::WireFrame> WirePeer::frames() {
    std::lock_guard<std::mutex> guard(signal_.lock());
    return frames_;
}

bool WirePeer::waitFrames(std::size_t count, std::chrono::milliseconds deadline) {
    return signal_.waitUntil([&] { return frames_.size() >= count; }, deadline);
}

bool WirePeer::waitClose(std::chrono::milliseconds deadline) {
    return signal_.waitUntil([this] { return !frames_.empty() && frames_.back().opcode == 8; }, deadline);
}

bool WirePeer::readRequest(int fd, std::string& request) {
    char byte;
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
        if (::recv(fd, &byte, 1, 0) != 1) return false;
        request += byte;
    }
    return true;
}

void WirePeer::refuseUpgrade(int fd) {
    std::string request;
    if (readRequest(fd, request)) sendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
}

bool WirePeer::answerUpgrade(int fd) {
    std::string request;
    if (!readRequest(fd, request)) return false;
    signal_.update([&] { requestLine_ = request.substr(0, request.find("\r\n")); });
    const std::string keyHeader = "Sec-WebSocket-Key: ";
    std::size_t at = request.find(keyHeader);
    if (at == std::string::npos) return false;
    at += keyHeader.size();
    std::string key = request.substr(at, request.find("\r\n", at) - at) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
    return sendAll(fd, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       "Sec-WebSocket-Accept: " +
                           base64(digest, sizeof digest) + "\r\n\r\n");
}

} // namespace quorvex::test
