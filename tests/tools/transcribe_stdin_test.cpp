// SPDX-License-Identifier: Apache-2.0
// quorvex-transcribe - : live PCM from a pipe, as a microphone pipeline feeds it.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

#include "child_process.h"
#include "server/asr_server.h"

using namespace quorvex::test;
using quorvex::server::echoText;
using quorvex::server::fnv1a;

namespace {

constexpr std::size_t kFrame = 640; // 20 ms
constexpr std::chrono::seconds kFirstResultWithin{10};

// Feeds the tool in real time from a thread of its own, as arecord would: the
// first 1.2 s, then (once the test says so) the rest.
class LiveFeed {
public:
    LiveFeed(ChildProcess& tool, std::size_t frames) : pcm_(frames * kFrame) {
        std::mt19937 random(7);
        for (auto& byte : pcm_) byte = static_cast<unsigned char>(random());
        writer_ = std::thread([this, &tool] {
            auto next = std::chrono::steady_clock::now();
            for (std::size_t at = 0; at < pcm_.size(); at += kFrame) {
                // Outwaits the test's own wait, so that a slow result fails as such.
                if (at == kFirstPart && !signal_.waitUntil([&] { return goOn_ != 0; }, 2 * kFirstResultWithin)) break;
                if (at == kFirstPart && goOn_ < 0) return;
                if (!tool.write(&pcm_[at], kFrame)) break;
                std::this_thread::sleep_until(next += std::chrono::milliseconds(20)); // the pace of speech
            }
            tool.closeStdin();
        });
    }
    ~LiveFeed() {
        if (writer_.joinable()) writer_.join();
    }
    void finish() { signal_.update([&] { goOn_ = 1; }); }
    void holdOpen() { signal_.update([&] { goOn_ = -1; }); } // the rest is never written, nor the pipe closed
    std::string echoOf(std::size_t bytes) const { return echoText(bytes, fnv1a(pcm_.data(), bytes)); }
    void join() { writer_.join(); }

    static constexpr std::size_t kFirstPart = 60 * kFrame;

private:
    std::vector<unsigned char> pcm_;
    Signal signal_; // guards goOn_
    int goOn_ = 0;
    std::thread writer_;
};

class TranscribeStdin : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.start(error)) << error;
    }
    ChildProcess::Options pipeIn() const {
        ChildProcess::Options options;
        options.pipeStdin = true;
        return options;
    }
    std::vector<std::string> command() const { return {QUORVEX_TRANSCRIBE, "--json", "--url", server_.url(), "-"}; }
    static std::string finalLine(const std::string& text) { return "\"text\":\"" + text + "\""; }

    quorvex::server::AsrServer server_{quorvex::server::ServerOptions{}, quorvex::server::makeEchoEngine()};
};

} // namespace

TEST_F(TranscribeStdin, AudioIsStreamedAsItArrivesAndEndsWithTheInput) {
    ChildProcess tool(command(), pipeIn());
    LiveFeed feed(tool, 100);
    // The server reports each second it received: one second must come back while the pipe is still open.
    bool live = tool.waitForOutput(finalLine(feed.echoOf(32000)) + ",\"bg\":0,\"ed\":1000,\"fin\":0}",
                                   kFirstResultWithin);
    feed.finish();
    ASSERT_TRUE(live) << "no result for the first second while the input was still open:\n" << tool.output();
    feed.join();
    ASSERT_EQ(tool.waitExit(std::chrono::seconds(20)), 0) << tool.output();
    EXPECT_NE(tool.output().find(finalLine(feed.echoOf(100 * kFrame)) + ",\"bg\":0,\"ed\":2000,\"fin\":1}"),
              std::string::npos)
        << "every byte, in order, and a final result:\n" << tool.output();
}

TEST_F(TranscribeStdin, InterruptEndsTheSessionWithWhatHasArrived) {
    ChildProcess tool(command(), pipeIn());
    LiveFeed feed(tool, 100);
    bool live = tool.waitForOutput("\"fin\":0}", kFirstResultWithin);
    feed.holdOpen();
    feed.join(); // the first 1.2 s are in the pipe; it stays open, as with a microphone
    ASSERT_TRUE(live) << tool.output();
    tool.signal(SIGINT);
    ASSERT_EQ(tool.waitExit(std::chrono::seconds(20)), 0) << tool.output();
    EXPECT_NE(tool.output().find(finalLine(feed.echoOf(LiveFeed::kFirstPart)) + ",\"bg\":0,\"ed\":1200,\"fin\":1}"),
              std::string::npos)
        << "Ctrl-C must still give the final result of everything written:\n" << tool.output();
}

TEST_F(TranscribeStdin, ATerminalOrASecondDashIsRefused) {
    int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal) | unlockpt(terminal), 0);
    int side = open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(side, 0);
    ChildProcess::Options onTerminal;
    onTerminal.fds = {{side, 0}};
    ChildProcess typed({QUORVEX_TRANSCRIBE, "--url", server_.url(), "-"}, onTerminal);
    EXPECT_EQ(typed.waitExit(), 2);
    EXPECT_NE(typed.output().find("standard input is a terminal"), std::string::npos) << typed.output();
    close(side);
    close(terminal);

    ChildProcess twice({QUORVEX_TRANSCRIBE, "-", "-"});
    EXPECT_EQ(twice.waitExit(), 2);
    EXPECT_NE(twice.output().find("standard input (-) can be given once"), std::string::npos) << twice.output();
}
