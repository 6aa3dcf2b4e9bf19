// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_TOOLS_HOSTILE_FIXTURE_H
#define QUORVEX_TESTS_TOOLS_HOSTILE_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/asr_server.h"
#include "server/replies.h"
#include "server/server_log.h"
#include "wait.h"
#include "ws_peer.h"

namespace quorvex::test {

// The echo engine, except that the first session's recogniser waits at a
// gate before each frame: recognition falls behind on demand.
class GatedEngine : public server::Engine {
public:
    std::unique_ptr<server::Recogniser> open() override;
    const char* name() const override { return "gated echo"; }
    unsigned int suggestedSessions(unsigned int) const override { return 8; }

    void openGate() {
        gate_.update([&] { open_ = true; });
    }
    int framesFed() const { return fed_; }

private:
    friend class GatedRecogniser;
    std::shared_ptr<server::Engine> echo_ = server::makeEchoEngine();
    std::atomic<bool> first_{true};
    std::atomic<int> fed_{0};
    Signal gate_;
    bool open_ = false; // guarded by gate_
};

// The message carries this msg_code.
inline bool hasCode(const std::string& message, int code) {
    return message.find("\"msg_code\":" + std::to_string(code) + ",") != std::string::npos;
}

// Raw bytes from a socket until done says so, the stream ends or the deadline passes.
std::string readRaw(int fd, const std::function<bool(const std::string&)>& done);
// Whether raw server frames include a close frame.
bool hasCloseFrame(const std::string& bytes);

// A server on loopback with limits of the test's choosing, its log lines captured.
class HostileClients : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    server::AsrServer& serve(server::ServerOptions options,
                             std::shared_ptr<server::Engine> engine = server::makeEchoEngine());
    int port() const { return server_->port(); }
    const server::Metrics& metrics() const { return server_->metrics(); }
    // Waits for a count that the loop thread updates after the client saw the effect.
    bool eventually(const std::function<bool()>& condition) { return metrics().waitUntil(condition, kDeadline); }
    std::string getMetrics();
    bool logged(const std::string& text);
    std::string logText();

    std::unique_ptr<server::AsrServer> server_;

private:
    std::mutex logLock_; // guards logs_
    std::vector<std::string> logs_;
};

} // namespace quorvex::test

#endif
