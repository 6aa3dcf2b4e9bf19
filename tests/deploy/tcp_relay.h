// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_DEPLOY_TCP_RELAY_H
#define QUORVEX_TESTS_DEPLOY_TCP_RELAY_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvex::test {

// A TCP relay on an ephemeral loopback port: each connection goes to the
// backend port set at the time it is accepted. It can cut every connection
// it carries with a reset, as a proxy or a NAT that drops its state does.
class TcpRelay {
public:
    explicit TcpRelay(int backendPort);
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    std::string url() const { return "ws://127.0.0.1:" + std::to_string(port_) + "/asr"; }
    void setBackend(int port) { backend_ = port; }
    // Resets both sides of every connection carried so far.
    void resetAll();

private:
    struct Pair {
        int client = -1, server = -1;
        bool reset = false, closed = false; // guarded by lock_
    };
    void acceptLoop();
    void pump(const std::shared_ptr<Pair>& pair);

    int listener_ = -1, port_ = 0, wake_[2] = {-1, -1};
    std::atomic<int> backend_;
    std::mutex lock_; // guards pairs_ and pumps_
    std::vector<std::shared_ptr<Pair>> pairs_;
    std::vector<std::thread> pumps_;
    std::thread acceptor_;
};

} // namespace quorvex::test

#endif
