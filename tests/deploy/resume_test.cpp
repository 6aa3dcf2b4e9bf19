// SPDX-License-Identifier: Apache-2.0
// Resumption against real servers: a server killed or drained in the middle
// of a session, a connection reset by a relay, a balancer in front of two
// servers, and a server that never comes back. The echo engine's final text
// counts and checksums every byte the last server received.
#include <signal.h>

#include <random>

#include "haproxy_fixture.h"
#include "server/engine.h"
#include "tcp_relay.h"
#include "wire_peer.h"

using namespace quorvex::test;

namespace {

constexpr std::size_t kFrame = 640; // 20 ms

struct ResumeRecorder : RecordingListener, QUORVEX::QvAsrResumeListener, QUORVEX::QvAsrStartFailureListener {
    void onResumed(const QUORVEX::QvAsrResumeInfo* info) override {
        resumed.update([&] { infos.push_back(*info); });
    }
    void onStartFailure(const QUORVEX::QvAsrStartFailure* failure) override {
        failures.update([&] {
            categories.push_back(failure->category);
            texts.emplace_back(failure->text ? failure->text : "");
        });
    }
    Signal resumed, failures;
    std::vector<QUORVEX::QvAsrResumeInfo> infos;            // guarded by resumed
    std::vector<QUORVEX::QvAsrStartFailureCategory> categories; // guarded by failures
    std::vector<std::string> texts;                             // guarded by failures
};

class Resumption : public ::testing::Test {
protected:
    void SetUp() override {
        QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
        QUORVEX::QvAsrSdkInitParam params{};
        ASSERT_EQ(QUORVEX::init(&log, &params), 0);
        QUORVEX::QvAsrResumeSettings settings{};
        settings.enabled = true;
        settings.backoffMs = 20;
        settings.backoffMaxMs = 100;
        ASSERT_EQ(QUORVEX::setResumeSettings(&settings), 0);
        client_ = QUORVEX::createAsrInstance();
        client_->init(&listener_);
        QUORVEX::setResumeListener(client_, &listener_);
        QUORVEX::setStartFailureListener(client_, &listener_);
    }
    void TearDown() override {
        while (QUORVEX::destroyAsrInstance(client_) == -5) std::this_thread::yield();
        delete client_;
        QUORVEX::setResumeSettings(nullptr);
        QUORVEX::release();
    }

    void start(const std::string& url) {
        QUORVEX::QvAsrStartParam param{url.c_str(), "t"};
        ASSERT_EQ(client_->start(&param), 0);
        ASSERT_TRUE(listener_.waitFor("start")) << "no start result";
        ASSERT_EQ(listener_.heard("start")[0].code, 0);
    }
    // Seeded noise, 20 ms a frame; each accepted frame is kept as sent.
    void send(std::size_t frames) {
        for (std::size_t i = 0; i < frames; ++i) {
            std::size_t at = pcm_.size();
            pcm_.resize(at + kFrame);
            for (std::size_t b = at; b < pcm_.size(); ++b) pcm_[b] = static_cast<unsigned char>(random_());
            QUORVEX::QvAsrAudioFrame frame{&pcm_[at], static_cast<int>(kFrame), 1, 16000, 16};
            ASSERT_EQ(client_->sendAudio(&frame), 0) << "frame " << i;
        }
    }
    // The server has counted this much audio (its texts come every second).
    bool serverHeard(int texts) { return listener_.waitFor("text", texts); }
    void expectWholeAfterStop(int resumptions) {
        ASSERT_EQ(client_->stop(), 0);
        ASSERT_TRUE(listener_.waitFor("stop", 1, std::chrono::seconds(20))) << heard();
        std::string expected = quorvex::server::echoText(pcm_.size(), quorvex::server::fnv1a(pcm_.data(), pcm_.size()));
        auto texts = listener_.heard("text");
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back().text, expected) << "the last server did not receive every byte, in order";
        EXPECT_EQ(texts.back().fin, 1);
        EXPECT_EQ(texts.back().ed, static_cast<int>(pcm_.size() / 32)) << "texts are on the first session's timeline";
        EXPECT_EQ(listener_.count("session"), 0) << heard();
        QUORVEX::QvAsrSessionStats stats{};
        stats.size = sizeof stats;
        ASSERT_EQ(QUORVEX::getSessionStats(client_, &stats), 0);
        EXPECT_EQ(stats.resumptions, resumptions);
        EXPECT_EQ(stats.audioMsSent, static_cast<long long>(pcm_.size() / 32));
        EXPECT_EQ(stats.textsReceived, static_cast<long long>(texts.size()));
    }
    std::string heard() {
        std::string all;
        for (const Heard& item : listener_.heard()) all += item.call + "(" + std::to_string(item.code) + ") " + item.text + "\n";
        return all;
    }

    ResumeRecorder listener_;
    QUORVEX::QvAsrClient* client_ = nullptr;
    std::vector<unsigned char> pcm_;
    std::mt19937 random_{7};
};

} // namespace

// Killed in the middle, then the relay leads to another server: the audio
// since the start (no final result yet) is replayed, sendAudio never failed.
TEST_F(Resumption, AServerKilledMidSessionLosesNoByte) {
    ServerProcess first, second;
    ASSERT_TRUE(first.port() && second.port());
    TcpRelay relay(first.port());
    start(relay.url());
    send(60);
    ASSERT_TRUE(serverHeard(1));
    first.process().signal(SIGKILL);
    relay.setBackend(second.port());
    send(60); // while the loss is noticed and the session carried over
    ASSERT_TRUE(listener_.resumed.waitUntil([&] { return !listener_.infos.empty(); }, kDeadline)) << heard();
    send(40);
    expectWholeAfterStop(1);
    QUORVEX::QvAsrResumeInfo info = listener_.infos[0];
    EXPECT_EQ(info.attempt, 1);
    EXPECT_EQ(info.unreplayableMs, 0);
    EXPECT_GE(info.replayedMs, 1200);
}

// A reset cuts the connection; the same server takes the new session.
TEST_F(Resumption, AConnectionResetByARelayCarriesOn) {
    ServerProcess server;
    ASSERT_TRUE(server.port());
    TcpRelay relay(server.port());
    start(relay.url());
    send(60);
    ASSERT_TRUE(serverHeard(1));
    relay.resetAll();
    send(30);
    ASSERT_TRUE(listener_.resumed.waitUntil([&] { return !listener_.infos.empty(); }, kDeadline)) << heard();
    expectWholeAfterStop(1);
}

// SIGTERM with no time to drain: the server says 503 and closes with 1001;
// a stop asked for before the loss still ends in the final text and onStopResult.
TEST_F(Resumption, AServerShuttingDownHandsTheSessionOnAndAStopStillCompletes) {
    ServerProcess draining({"--drain-timeout", "0"}), other;
    ASSERT_TRUE(draining.port() && other.port());
    TcpRelay relay(draining.port());
    start(relay.url());
    send(80);
    ASSERT_TRUE(serverHeard(1));
    relay.setBackend(other.port());
    draining.process().signal(SIGTERM);
    ASSERT_TRUE(listener_.resumed.waitUntil([&] { return !listener_.infos.empty(); }, kDeadline)) << heard();
    expectWholeAfterStop(1);
}

// Behind the shipped HAProxy configuration, the server carrying the session dies.
TEST_F(Resumption, BehindHaproxyTheOtherServerTakesOver) {
    ServerProcess first, second;
    ASSERT_TRUE(first.port() && second.port());
    Haproxy haproxy({first.port(), second.port()});
    ASSERT_TRUE(haproxy.running());
    start(haproxy.url());
    send(60);
    ASSERT_TRUE(serverHeard(1));
    ServerProcess& carrying = first.metric("quorvex_sessions_open") == 1 ? first : second;
    carrying.process().signal(SIGKILL);
    send(60);
    ASSERT_TRUE(listener_.resumed.waitUntil([&] { return !listener_.infos.empty(); }, kDeadline)) << heard()
                                                                                                   << haproxy.output();
    send(20);
    expectWholeAfterStop(1);
}

// Nothing comes back: the attempts end within their bound, the last one is
// explained, and the session ends with the usual error.
TEST_F(Resumption, AServerThatNeverComesBackEndsTheSessionAsBefore) {
    QUORVEX::QvAsrResumeSettings settings{};
    settings.enabled = true;
    settings.attempts = 3;
    settings.backoffMs = 10;
    settings.backoffMaxMs = 40;
    ASSERT_EQ(QUORVEX::setResumeSettings(&settings), 0);
    ServerProcess server;
    ASSERT_TRUE(server.port());
    start("ws://127.0.0.1:" + std::to_string(server.port()) + "/asr");
    send(10);
    server.process().signal(SIGKILL);
    ASSERT_TRUE(listener_.waitFor("session")) << heard();
    EXPECT_EQ(listener_.heard("session")[0].text, "disconnect from server! state:4");
    EXPECT_TRUE(listener_.infos.empty());
    listener_.failures.waitUntil([&] { return !listener_.categories.empty(); }, kDeadline);
    std::lock_guard<std::mutex> guard(listener_.failures.lock());
    ASSERT_EQ(listener_.categories.size(), 1u) << "one explanation, of the last attempt";
    EXPECT_EQ(listener_.categories[0], QUORVEX::QvAsrStartFailureCategory::ConnectionRefused);
}

// An attempt that fails after its start request leaves no deadline behind:
// the next attempt, whose upgrade never comes, is explained by its own
// connect deadline, not by the start deadline of the attempt before.
TEST_F(Resumption, EachAttemptEndsOnItsOwnDeadline) {
    QUORVEX::QvAsrResumeSettings settings{};
    settings.enabled = true;
    settings.attempts = 2;
    settings.backoffMs = settings.backoffMaxMs = 50;
    ASSERT_EQ(QUORVEX::setResumeSettings(&settings), 0);
    QUORVEX::QvAsrClientLimits limits{};
    limits.connectTimeoutMs = 1500;
    limits.startTimeoutMs = 400;
    ASSERT_EQ(QUORVEX::setClientLimits(&limits), 0);
    struct Defaults {
        ~Defaults() {
            QUORVEX::QvAsrClientLimits defaults{};
            QUORVEX::setClientLimits(&defaults);
        }
    } restore;
    WirePeer silent(WirePeer::Mode::NeverAnswer);
    std::string silentUrl = silent.url();
    TestServer server;
    TcpRelay relay(server.port());
    std::atomic<int> starts{0};
    server.onFrame([&](Peer& peer, const Frame& frame) {
        if (frame.binary || frame.data.find("START_SESSION_REQ") == std::string::npos) return;
        if (++starts == 1) {
            peer.sendText(ScriptedServer::message("START_SESSION_RES",
                                                  R"(,"msg_code":0,"msg_desc":"","msg_data":{"session_id":"s1"})"));
            return;
        }
        relay.setBackend(std::stoi(silentUrl.substr(silentUrl.rfind(':') + 1)));
        peer.drop();
    });
    start(relay.url());
    send(5);
    relay.resetAll();
    ASSERT_TRUE(listener_.waitFor("session")) << heard();
    EXPECT_EQ(starts.load(), 2);
    listener_.failures.waitUntil([&] { return !listener_.texts.empty(); }, kDeadline);
    std::lock_guard<std::mutex> guard(listener_.failures.lock());
    ASSERT_EQ(listener_.texts.size(), 1u);
    EXPECT_EQ(listener_.texts[0].find("START_SESSION_RES"), std::string::npos) << listener_.texts[0];
}
