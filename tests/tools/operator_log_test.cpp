// SPDX-License-Identifier: Apache-2.0
// What an operator reads in the server's log: one line per session as it
// ends, and start-up failures said in words.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "server/asr_server.h"
#include "server/server_log.h"
#include "server_process.h"
#include "ws_peer.h"

using namespace quorvex::test;
using namespace quorvex::server;

namespace {

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t found = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++found;
    return found;
}

class OperatorLog : public ::testing::Test {
protected:
    void SetUp() override {
        setLogSink([this](const std::string& line) { lines_.update([&] { text_ += line + "\n"; }); });
    }
    void TearDown() override {
        server_.reset();
        setLogSink(nullptr);
    }
    int serve(ServerOptions options) {
        server_ = std::make_unique<AsrServer>(std::move(options), makeEchoEngine());
        std::string error;
        EXPECT_TRUE(server_->start(error)) << error;
        return server_->port();
    }
    // True once the log holds `times` lines containing `text`.
    bool waitForLines(const std::string& text, std::size_t times = 1) {
        return lines_.waitUntil([&] { return count(text_, text) >= times; });
    }
    std::string log() {
        std::string copy;
        lines_.update([&] { copy = text_; });
        return copy;
    }

    Signal lines_; // guards text_
    std::string text_;
    std::unique_ptr<AsrServer> server_;
};

} // namespace

TEST_F(OperatorLog, EachSessionEndIsOneLineSayingHowItEnded) {
    ServerOptions options;
    options.bind = ""; // every address: IPv4 peers arrive on a dual-stack socket
    options.maxFrameBytes = 4000;
    options.drainTimeoutMs = 300;
    int port = serve(options);

    EchoSession stopped(port, 1);
    ASSERT_TRUE(stopped.start());
    stopped.sendAudio(32000);
    ASSERT_TRUE(stopped.finish());
    EXPECT_TRUE(waitForLines("ended (stop) after ")) << log();
    EXPECT_NE(log().find(": 1.0 s of audio, 2 text(s) sent"), std::string::npos)
        << "a second of audio, a partial and a final text:\n" << log();

    {
        WsPeer gone;
        ASSERT_EQ(gone.open(port), 101);
        gone.sendStart();
        ASSERT_NE(gone.textWith("START_SESSION_RES"), "");
    }
    EXPECT_TRUE(waitForLines("ended (client gone)")) << log();

    WsPeer big;
    ASSERT_EQ(big.open(port), 101);
    big.sendStart();
    ASSERT_NE(big.textWith("START_SESSION_RES"), "");
    big.sendBinary(std::string(4002, '\0'));
    EXPECT_TRUE(waitForLines("ended (limit: too_large)")) << log();

    EchoSession drained(port, 2);
    ASSERT_TRUE(drained.start());
    drained.sendAudio(6400);
    std::thread stopper([&] { server_->shutdown(); });
    EXPECT_TRUE(waitForLines("ended (drain)")) << log();
    stopper.join();

    std::string all = log();
    EXPECT_EQ(count(all, " ended ("), 4u) << "one line per session, no more:\n" << all;
    EXPECT_EQ(count(all, "from 127.0.0.1:"), 4u) << "IPv4 peers as IPv4:\n" << all;
    EXPECT_EQ(all.find("::ffff:"), std::string::npos) << all;
}

TEST_F(OperatorLog, StartUpFailuresAreSaidInWords) {
    int held = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(held, 1), 0);
    ASSERT_EQ(::getsockname(held, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ServerProcess taken({"--engine", "echo", "--port", std::to_string(ntohs(address.sin_port))});
    EXPECT_EQ(taken.exitCode(), 1) << taken.output();
    EXPECT_NE(taken.output().find("address already in use"), std::string::npos) << taken.output();
    EXPECT_EQ(taken.output().find("ERROR on binding"), std::string::npos) << "numbers are not a message:\n"
                                                                          << taken.output();
    ::close(held);

    ServerProcess noModel({"--port", "0", "--model", "/nonexistent/model"});
    EXPECT_EQ(noModel.exitCode(), 1) << noModel.output();
    EXPECT_NE(noModel.output().find("the pocketsphinx model is missing or unreadable: /nonexistent/model/"),
              std::string::npos)
        << noModel.output();

    if (geteuid() != 0) { // root may bind any port
        ServerProcess low({"--engine", "echo", "--port", "1"});
        EXPECT_EQ(low.exitCode(), 1) << low.output();
        EXPECT_NE(low.output().find("permission denied"), std::string::npos) << low.output();
    }
}
