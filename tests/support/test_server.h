// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_TEST_SERVER_H
#define QUORVEX_TESTS_SUPPORT_TEST_SERVER_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "wait.h"

namespace quorvex::test {

struct Frame {
    int peer = 0;
    bool binary = false;
    std::string data;
};

// Handle on one accepted connection, valid inside a handler (server thread).
class Peer {
public:
    virtual ~Peer() = default;
    virtual int id() const = 0;
    virtual void sendText(const std::string& text) = 0;
    virtual void sendBinary(const std::string& bytes) = 0;
    // Sends one message as several WebSocket frames of at most fragmentSize bytes.
    virtual void sendFragmented(const std::string& text, std::size_t fragmentSize) = 0;
    virtual void closeClean() = 0; // close frame with status 1000 after queued messages
    virtual void drop() = 0;       // TCP connection dropped, no close frame
};

// In-process WebSocket server on 127.0.0.1 (or ::1) with an ephemeral port, running
// libwebsockets on a thread of its own. Records every message it receives
// and answers as its handlers say. Without handlers it stays silent.
class TestServer {
public:
    struct Options {
        bool tls = false; // self-signed certificate made at test time
        bool refuseHandshake = false;
        bool countOnly = false; // keep no payloads, only counts (load runs)
    };
    using FrameHandler = std::function<void(Peer&, const Frame&)>;
    using OpenHandler = std::function<void(Peer&)>;

    TestServer();
    explicit TestServer(Options options);
    // TLS with this certificate and key instead of the self-signed one, on
    // address (an IPv4 or IPv6 loopback address).
    TestServer(const std::string& certFile, const std::string& keyFile, const std::string& address = "127.0.0.1");
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int port() const;
    std::string url(const std::string& path = "/") const;

    // Set before clients connect; run on the server thread.
    void onOpen(OpenHandler handler);
    void onFrame(FrameHandler handler);

    // Any thread: act on a peer by id (1 for the first connection).
    void send(int peer, const std::string& text);
    void sendBinary(int peer, const std::string& bytes);
    void closeClean(int peer, int status = 1000);
    void drop(int peer);

    std::vector<Frame> frames() const;
    std::vector<Frame> framesOf(int peer) const;
    std::size_t framesReceived() const;
    std::size_t binaryFramesReceived() const;
    std::size_t bytesReceived() const;
    int opened() const;
    int resumed() const; // of those opened, TLS connections that resumed a session
    int closed() const;

    bool waitForFrames(std::size_t count, std::chrono::milliseconds deadline = kDeadline) const;
    bool waitForOpened(int count, std::chrono::milliseconds deadline = kDeadline) const;
    bool waitForClosed(int count, std::chrono::milliseconds deadline = kDeadline) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace quorvex::test

#endif
