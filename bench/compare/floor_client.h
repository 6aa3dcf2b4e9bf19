// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_BENCH_COMPARE_FLOOR_CLIENT_H
#define QUORVEX_BENCH_COMPARE_FLOOR_CLIENT_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "floor_tls.h"
#include "workload.h"

namespace quorvex::bench {

// The least a client can do for one TCP connection per session: bare
// non-blocking sockets, hand-made WebSocket framing, one epoll thread that
// reads, and one send() per audio frame on the caller's thread. With TLS,
// one SSL_write per frame instead, each connection's TLS state under a lock
// of its own (an OpenSSL connection is not for two threads at once).
class FloorClient : public LoadClient {
public:
    // tls: null for ws://.
    FloorClient(int port, Sessions& sessions, const FloorTls* tls = nullptr);
    ~FloorClient() override;

    void start(int session) override;
    void sendFrame(int session, const unsigned char* pcm, int bytes) override;
    void stop(int session) override;

private:
    struct Link {
        std::atomic<int> fd{-1};
        bool upgraded = false, startHeard = false; // reader thread
        std::string in;
        std::mutex tlsLock; // guards ssl and handshaken
        SSL* ssl = nullptr;
        bool handshaken = false;
    };

    void readLoop();
    void onReadable(int session);
    bool finishHandshake(int session);
    void sendUpgrade(int session);
    bool sendRaw(Link& link, const unsigned char* data, std::size_t size);
    long receive(Link& link, char* buffer, std::size_t size);
    void onMessage(int session, const std::string& text);
    void sendMessage(int session, int opcode, const unsigned char* payload, std::size_t bytes);
    void finish(int session, bool ok);

    int port_;
    Sessions& sessions_;
    const FloorTls* tls_;
    std::vector<Link> links_;
    int epoll_ = -1;
    int wake_ = -1; // eventfd: tells the reader to end
    std::atomic<bool> running_{true};
    std::thread reader_;
};

} // namespace quorvex::bench

#endif
