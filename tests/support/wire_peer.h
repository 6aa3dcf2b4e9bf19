// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_WIRE_PEER_H
#define QUORVEX_TESTS_SUPPORT_WIRE_PEER_H

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "wait.h"

namespace quorvex::test {

// A WebSocket server peer on 127.0.0.1 on plain sockets, so that it can
// misbehave the way dead or overloaded servers do, and see the wire exactly.
class WirePeer {
public:
    enum class Mode {
        // Listens but never accepts: TCP connects through the backlog, then
        // nothing is read or answered (a silent peer, a stalled TLS handshake).
        NeverAnswer,
        // Answers the upgrade and the start request, then never reads again:
        // no pong, no close answer, and the client's writes fill the window.
        DeafAfterStart,
        // Answers the start and stop requests and records every frame as it
        // came; answers a close frame with one and ends.
        Recording,
        // Records as Recording does, and pings after every binary frame (the
        // ping's payload is the count of binary frames so far), so that the
        // client's automatic pongs meet its own writes on the wire; pauses
        // its reading now and then, so that the client's socket fills and
        // writes are left half done.
        RecordingAndPinging,
        // Answers the upgrade with 404 Not Found, as a server with no
        // WebSocket on that path does.
        NotFound,
    };

    struct WireFrame {
        bool fin = false;
        int opcode = 0;
        std::string payload; // unmasked
    };

    explicit WirePeer(Mode mode);
    ~WirePeer();
    WirePeer(const WirePeer&) = delete;
    WirePeer& operator=(const WirePeer&) = delete;

    std::string url(const std::string& scheme = "ws") const;
    // DeafAfterStart: the start answer has been sent.
    bool waitStarted(std::chrono::milliseconds deadline = kDeadline);
    // Recording: the request line of the upgrade, and the frames so far.
    std::string requestLine();
    std::vector<WireFrame> frames();
    bool waitFrames(std::size_t count, std::chrono::milliseconds deadline = kDeadline);
    // Recording: a close frame has come (and been answered).
    bool waitClose(std::chrono::milliseconds deadline = kDeadline);

private:
    void serveOne();
    void record(int fd);
    bool answerUpgrade(int fd);
    void refuseUpgrade(int fd);
    static bool readRequest(int fd, std::string& request);

    Mode mode_;
    int listenFd_ = -1;
    int peerFd_ = -1; // kept open until the end; guarded by signal_
    int port_ = 0;
    std::thread thread_;
    Signal signal_; // guards the fields below and peerFd_
    bool stopping_ = false;
    bool started_ = false;
    std::string requestLine_;
    std::vector<WireFrame> frames_;
};

} // namespace quorvex::test

#endif
