// SPDX-License-Identifier: Apache-2.0
#include "ws_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "server/engine.h"

namespace quorvex::test {

namespace {

using Clock = std::chrono::steady_clock;

int connectLoopback(int port, int receiveBuffer = 0) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    // A server that stops reading must not hang a test in send().
    timeval sendTimeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

enum class Read { Data, Ended, TimedOut };

// Reads what is there, waiting until the deadline for something.
Read readSome(int fd, std::string& into, Clock::time_point until) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd waiting{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&waiting, 1, static_cast<int>(left)) == 0) return Read::TimedOut;
    char chunk[65536];
    ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return Read::Ended;
    into.append(chunk, static_cast<std::size_t>(got));
    return Read::Data;
}

} // namespace

WsPeer::~WsPeer() {
    if (fd_ >= 0) ::close(fd_);
}

bool WsPeer::connectTcp(int port) {
    fd_ = connectLoopback(port, receiveBuffer);
    return fd_ >= 0;
}

int WsPeer::open(int port, const std::string& path, const std::string& extraHeaders) {
    if (!connectTcp(port)) return 0;
    sendRaw("GET " + path +
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
            extraHeaders + "\r\n");
    auto until = Clock::now() + kDeadline;
    std::size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
        if (!fill(until)) return httpStatus(buffer_);
    handshake_ = buffer_.substr(0, end + 4);
    buffer_.erase(0, end + 4);
    return httpStatus(handshake_);
}

void WsPeer::sendRaw(const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        ssize_t wrote = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0) return; // closed or stuck: what follows shows it
        sent += static_cast<std::size_t>(wrote);
    }
}

void WsPeer::sendFrame(int opcode, const std::string& payload, bool mask) {
    std::string frame(1, static_cast<char>(0x80 | opcode));
    unsigned char maskBit = mask ? 0x80 : 0;
    std::uint64_t size = payload.size();
    if (size < 126) {
        frame += static_cast<char>(maskBit | size);
    } else if (size <= 0xffff) {
        frame += static_cast<char>(maskBit | 126);
        for (int shift = 8; shift >= 0; shift -= 8) frame += static_cast<char>((size >> shift) & 0xff);
    } else {
        frame += static_cast<char>(maskBit | 127);
        for (int shift = 56; shift >= 0; shift -= 8) frame += static_cast<char>((size >> shift) & 0xff);
    }
    const unsigned char key[4] = {0x37, 0xfa, 0x21, 0x3d};
    std::string body = payload;
    if (mask) {
        frame.append(reinterpret_cast<const char*>(key), 4);
        for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(body[i] ^ key[i % 4]);
    }
    sendRaw(frame + body);
}

void WsPeer::sendStart(const std::string& token) {
    sendText(R"({"service_type":"ASR","msg_type":"START_SESSION_REQ","msg_id":"","msg_data":{"token":")" + token +
             "\"}}");
}

void WsPeer::sendStop() { sendText(R"({"service_type":"ASR","msg_type":"STOP_SESSION_REQ","msg_id":""})"); }

bool WsPeer::fill(Clock::time_point until) {
    Read outcome = readSome(fd_, buffer_, until);
    timedOut_ = outcome == Read::TimedOut;
    return outcome == Read::Data;
}

WsEvent WsPeer::next(std::chrono::milliseconds deadline) {
    auto until = Clock::now() + deadline;
    std::string message;
    int messageOpcode = 0;
    for (;;) {
        // Server frames are never masked: 2 header bytes, the extended length, the payload.
        std::size_t header = 2;
        if (buffer_.size() >= 2) {
            unsigned length7 = static_cast<unsigned char>(buffer_[1]) & 0x7f;
            header += length7 == 126 ? 2 : length7 == 127 ? 8 : 0;
        }
        if (buffer_.size() >= header) {
            auto byteAt = [this](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(buffer_[i])); };
            std::uint64_t size = byteAt(1) & 0x7f;
            if (header > 2) {
                size = 0;
                for (std::size_t i = 2; i < header; ++i) size = size << 8 | byteAt(i);
            }
            if (buffer_.size() >= header + size) {
                bool fin = byteAt(0) & 0x80;
                int opcode = static_cast<int>(byteAt(0) & 0x0f);
                std::string payload = buffer_.substr(header, size);
                buffer_.erase(0, header + size);
                if (opcode == 8) {
                    sendFrame(8, payload.substr(0, 2)); // the answer RFC 6455 asks for
                    int code = payload.size() >= 2 ? (static_cast<unsigned char>(payload[0]) << 8 |
                                                      static_cast<unsigned char>(payload[1]))
                                                   : 1005;
                    return WsEvent{WsEvent::Close, payload.size() > 2 ? payload.substr(2) : "", code};
                }
                if (opcode == 9) { // a ping: a live peer answers
                    sendFrame(10, payload);
                    continue;
                }
                if (opcode == 10) continue;
                if (opcode != 0) messageOpcode = opcode;
                message += payload;
                if (fin) return WsEvent{messageOpcode == 2 ? WsEvent::Binary : WsEvent::Text, message, 0};
                continue;
            }
        }
        if (!fill(until)) return WsEvent{timedOut_ ? WsEvent::Timeout : WsEvent::Eof, "", 0};
    }
}

std::string WsPeer::textWith(const std::string& needle, std::chrono::milliseconds deadline, std::string* skipped) {
    auto until = Clock::now() + deadline;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        WsEvent event = next(std::max(left, std::chrono::milliseconds(1)));
        if (event.kind == WsEvent::Text && event.data.find(needle) != std::string::npos) return event.data;
        if (event.kind != WsEvent::Text && event.kind != WsEvent::Binary) return "";
        if (skipped) *skipped += event.data + "\n";
    }
}

int WsPeer::closeCode(std::chrono::milliseconds deadline) {
    auto until = Clock::now() + deadline;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        WsEvent event = next(std::max(left, std::chrono::milliseconds(1)));
        if (event.kind == WsEvent::Close) return event.closeCode;
        if (event.kind == WsEvent::Eof) return -1;
        if (event.kind == WsEvent::Timeout) return 0;
    }
}

std::string httpExchange(int port, const std::string& request, std::chrono::milliseconds deadline) {
    int fd = connectLoopback(port);
    if (fd < 0) return "";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    auto until = Clock::now() + deadline;
    std::string response;
    for (;;) {
        std::size_t end = response.find("\r\n\r\n");
        if (end != std::string::npos) {
            auto at = response.find("content-length:");
            if (at == std::string::npos) at = response.find("Content-Length:");
            if (at != std::string::npos && response.size() >= end + 4 + std::stoul(response.substr(at + 15))) break;
        }
        if (readSome(fd, response, until) != Read::Data) break;
    }
    ::close(fd);
    return response;
}

int httpStatus(const std::string& response) {
    if (response.rfind("HTTP/1.", 0) != 0 || response.size() < 12) return 0;
    return std::atoi(response.c_str() + 9);
}

bool EchoSession::start(const std::string& token) {
    if (peer_.open(port_) != 101) return false;
    peer_.sendStart(token);
    return peer_.textWith("START_SESSION_RES").find("\"msg_code\":0") != std::string::npos;
}

void EchoSession::sendAudio(std::size_t bytes, std::size_t frameBytes) {
    while (bytes > 0) {
        std::string frame(std::min(bytes, frameBytes), '\0');
        for (char& byte : frame) {
            random_ = random_ * 1664525u + 1013904223u;
            byte = static_cast<char>(random_ >> 24);
        }
        checksum_ = server::fnv1a(reinterpret_cast<const unsigned char*>(frame.data()), frame.size(), checksum_);
        bytes_ += frame.size();
        bytes -= frame.size();
        peer_.sendBinary(frame);
    }
}

::testing::AssertionResult EchoSession::finish() {
    peer_.sendStop();
    std::string texts;
    if (peer_.textWith("STOP_SESSION_RES", std::chrono::seconds(30), &texts).empty())
        return ::testing::AssertionFailure() << "no STOP_SESSION_RES; before it: " << texts;
    std::string expected = server::echoText(bytes_, checksum_), finalText;
    std::istringstream lines(texts);
    for (std::string line; std::getline(lines, line);)
        if (line.find("\"fin\":1") != std::string::npos) finalText = line;
    if (finalText.find("\"" + expected + "\"") == std::string::npos)
        return ::testing::AssertionFailure() << "the final text is not " << expected << ": " << texts;
    return ::testing::AssertionSuccess();
}

} // namespace quorvex::test
