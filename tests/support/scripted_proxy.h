// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_SCRIPTED_PROXY_H
#define QUORVEX_TESTS_SUPPORT_SCRIPTED_PROXY_H

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace quorvex::test {

// An HTTP CONNECT proxy on 127.0.0.1 whose answer is scripted: its pieces
// are sent one by one, each after its pause (what a slow or fragmenting
// proxy does on the wire). It asks for Basic credentials when given some
// (any bytes), answers 407 to others, and relays each tunnel it opens.
class ScriptedProxy {
public:
    struct Piece {
        std::string bytes;
        std::chrono::milliseconds pauseBefore{0};
    };
    explicit ScriptedProxy(std::vector<Piece> answer, std::string credentials = "");
    ~ScriptedProxy();
    ScriptedProxy(const ScriptedProxy&) = delete;
    ScriptedProxy& operator=(const ScriptedProxy&) = delete;

    // The usual answer, one piece.
    static std::vector<Piece> plainAnswer();
    // The answer one byte at a time, pause apart.
    static std::vector<Piece> byteByByte(const std::string& answer, std::chrono::milliseconds pause);

    // credentials as they go in a proxy URL: percent-escaped by the caller.
    std::string url(const std::string& escapedCredentials = "") const;
    int tunnels() const { return tunnels_.load(); }  // opened with the right credentials
    int refusals() const { return refusals_.load(); } // 407 answers

private:
    void acceptLoop();
    void serve(int client);
    void relay(int client, int server);

    std::vector<Piece> answer_;
    std::string expectedAuthorization_; // the whole header line's value; empty: none asked for
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> tunnels_{0}, refusals_{0};
    std::thread acceptor_;
    std::vector<std::thread> sessions_; // acceptor's own
};

} // namespace quorvex::test

#endif
