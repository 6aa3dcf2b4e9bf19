// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_TOOLS_WS_PEER_H
#define QUORVEX_TESTS_TOOLS_WS_PEER_H

#include <chrono>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "wait.h"

namespace quorvex::test {

struct WsEvent {
    enum Kind { Text, Binary, Close, Eof, Timeout } kind = Timeout;
    std::string data;
    int closeCode = 0; // of a Close; 1005 when the frame carried none
};

// A blocking WebSocket client on a raw loopback socket: it sends what the
// library never would (unmasked frames, any size, nothing at all), reads only
// when told to, and sees close codes.
class WsPeer {
public:
    WsPeer() = default;
    ~WsPeer();
    WsPeer(const WsPeer&) = delete;
    WsPeer& operator=(const WsPeer&) = delete;

    // TCP connection and upgrade; the HTTP status of the answer (101 for a
    // WebSocket), 0 when the server closed without one.
    int open(int port, const std::string& path = "/asr", const std::string& extraHeaders = "");
    bool connectTcp(int port);

    void sendRaw(const std::string& bytes);
    void sendFrame(int opcode, const std::string& payload, bool mask = true);
    void sendText(const std::string& text) { sendFrame(1, text); }
    void sendBinary(const std::string& bytes) { sendFrame(2, bytes); }
    void sendStart(const std::string& token = "");
    void sendStop();

    // The next message, close or end of the stream.
    WsEvent next(std::chrono::milliseconds deadline = kDeadline);
    // Messages up to the first text containing needle; that text, or "" (and
    // every text passed over in skipped) when the stream ended first.
    std::string textWith(const std::string& needle, std::chrono::milliseconds deadline = kDeadline,
                         std::string* skipped = nullptr);
    // Reads to the close: its code, -1 for an end without a close frame, 0 at the deadline.
    int closeCode(std::chrono::milliseconds deadline = kDeadline);

    int fd() const { return fd_; }
    int receiveBuffer = 0; // SO_RCVBUF before connecting; 0 leaves the system's
    const std::string& handshake() const { return handshake_; }

private:
    bool fill(std::chrono::steady_clock::time_point until);

    int fd_ = -1;
    bool timedOut_ = false; // the last fill() ended at its deadline, not at the end of the stream
    std::string buffer_;
    std::string handshake_;
};

// One request on a fresh connection; the response as far as it came before
// the server closed or the deadline passed.
std::string httpExchange(int port, const std::string& request, std::chrono::milliseconds deadline = kDeadline);
// The status code of an HTTP response text, 0 for none.
int httpStatus(const std::string& response);

// A session as a well-behaved client runs it, with random audio whose echo
// (byte count and checksum) it checks at the end.
class EchoSession {
public:
    explicit EchoSession(int port, std::uint32_t seed = 1) : port_(port), random_(seed) {}
    // Connects and starts; true once START_SESSION_RES with code 0 arrived.
    bool start(const std::string& token = "");
    void sendAudio(std::size_t bytes, std::size_t frameBytes = 640);
    // Stops; true when the last final text and STOP_SESSION_RES account for every byte.
    ::testing::AssertionResult finish();
    WsPeer& peer() { return peer_; }

private:
    int port_;
    std::uint32_t random_;
    WsPeer peer_;
    std::uint64_t bytes_ = 0;
    std::uint32_t checksum_ = 2166136261u;
};

} // namespace quorvex::test

#endif
