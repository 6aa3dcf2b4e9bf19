// SPDX-License-Identifier: Apache-2.0
// Every wait of a session ends within its bound, whatever the server does.
#include <chrono>
#include <thread>

#include "client_test_base.h"
#include "transport/transport_control.h"
#include "lws_log.h"
#include "transport/client/url.h"
#include "wire_peer.h"

using namespace quorvex::test;
using namespace QUORVEX;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

const std::vector<unsigned char> kPcm(640, 7);
// Generous for the sanitizer builds on a loaded machine: an outcome must come
// within its limit plus this, never after the library's old defaults.
constexpr milliseconds kSlack{3000};

milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

} // namespace

class Bounds : public ClientTest {
protected:
    // Each test shortens only the bounds it is about: a short bound anywhere
    // else could end a healthy session on a slow machine.
    template <class Shorten>
    void useLimits(Shorten shorten) {
        QvAsrClientLimits limits{};
        shorten(limits);
        ASSERT_EQ(setClientLimits(&limits), 0);
    }
    void TearDown() override {
        QvAsrClientLimits defaults{};
        setClientLimits(&defaults);
        ClientTest::TearDown();
    }
    // Starts and waits for onStartResult; returns its code.
    int startAndWait(QvAsrClient* client, RecordingListener& listener, const std::string& url, milliseconds bound) {
        auto begun = Clock::now();
        EXPECT_EQ(start(client, url), 0);
        EXPECT_TRUE(listener.waitFor("start", 1, bound + kSlack)) << "no start result from " << url;
        EXPECT_LT(since(begun), bound + kSlack);
        auto heard = listener.heard("start");
        return heard.empty() ? 99 : heard.back().code;
    }
};

TEST_F(Bounds, SilentPeersEndTheStartWithinTheirDeadline) {
    useLimits([](QvAsrClientLimits& l) { l.connectTimeoutMs = l.startTimeoutMs = 300; });
    WirePeer silent(WirePeer::Mode::NeverAnswer);
    for (const char* scheme : {"ws", "wss"}) { // TCP accepted, then no upgrade; a TLS handshake that stalls
        RecordingListener& listener = listen();
        QvAsrClient* client = make(listener);
        EXPECT_EQ(startAndWait(client, listener, silent.url(scheme), milliseconds(300)), -2) << scheme;
        EXPECT_TRUE(listener.heard("start").back().textWasNull);
        EXPECT_EQ(destroyAsrInstance(client), 0);
    }

    ScriptedServer mute; // upgrades, never answers the start request
    mute.answerStart = false;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    EXPECT_EQ(startAndWait(client, listener, mute.url(), milliseconds(300)), -2);
    ASSERT_TRUE(mute.raw().waitForClosed(1)) << "the connection of an unanswered start was not closed";
    ASSERT_TRUE(LogLines::waitFor(" QUORVEX::QvAsrClientImpl::onClose"));
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);
    EXPECT_EQ(listener.count("session"), 0) << "a start that timed out is not also a session error";
    EXPECT_EQ(destroyAsrInstance(client), 0);
}

TEST_F(Bounds, UnansweredStopEndsAsACloseInStateFive) {
    useLimits([](QvAsrClientLimits& l) { l.stopTimeoutMs = 300; });
    ScriptedServer server;
    server.answerStop = false;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    startSession(client, listener, server.url());
    auto stopped = Clock::now();
    ASSERT_EQ(client->stop(), 0);
    ASSERT_TRUE(listener.waitFor("session", 1, milliseconds(300) + kSlack)) << "no end after an unanswered stop";
    EXPECT_LT(since(stopped), milliseconds(300) + kSlack);
    EXPECT_EQ(listener.heard("session")[0].text, "disconnect from server! state:5");
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(destroyAsrInstance(client), 0);
}

// Texts while stopping move the one deadline of the session along; they
// must not leave a live timer each (a long stop would hold thousands).
TEST_F(Bounds, TextsWhileStoppingMoveTheDeadlineWithoutAddingTimers) {
    useLimits([](QvAsrClientLimits& l) { l.stopTimeoutMs = 600; });
    ScriptedServer server;
    server.answerStop = false;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    startSession(client, listener, server.url());
    ASSERT_EQ(client->stop(), 0);
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    std::size_t timersAtStop = quorvex::transport::liveTimers(*sharedLoop());
    constexpr int kTexts = 40;
    for (int i = 0; i < kTexts; ++i) server.send(1, ScriptedServer::recognitionText("catching up", i, i + 1, 0));
    ASSERT_TRUE(listener.waitFor("text", kTexts)) << "the texts sent while stopping did not arrive";
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    // The barrier's own timer may still be counted on either side: one, not forty.
    EXPECT_LE(quorvex::transport::liveTimers(*sharedLoop()), timersAtStop + 1) << "a timer per text";
    ASSERT_TRUE(listener.waitFor("session", 1, milliseconds(600) + kSlack)) << "the moved deadline never came";
    EXPECT_EQ(listener.heard("session")[0].text, "disconnect from server! state:5");
}

TEST_F(Bounds, ServerThatStopsAnsweringIsHungUpOn) {
    useLimits([](QvAsrClientLimits& l) {
        l.pingAfterSeconds = 1;
        l.hangUpAfterSeconds = 2;
    });
    WirePeer deaf(WirePeer::Mode::DeafAfterStart); // no pong from here on
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    ASSERT_EQ(startAndWait(client, listener, deaf.url(), milliseconds(300)), 0);
    auto silentSince = Clock::now();
    ASSERT_TRUE(listener.waitFor("session", 1, milliseconds(2000) + kSlack)) << "a dead peer was not noticed";
    EXPECT_LT(since(silentSince), milliseconds(2000) + kSlack);
    EXPECT_EQ(listener.heard("session")[0].text, "disconnect from server! state:4");
}

TEST_F(Bounds, FullSendQueueFailsTheSessionLoudly) {
    useLimits([](QvAsrClientLimits& l) { l.sendQueueBytes = 256 * 1024; });
    WirePeer deaf(WirePeer::Mode::DeafAfterStart); // reads nothing: the window and then the queue fill
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    ASSERT_EQ(startAndWait(client, listener, deaf.url(), milliseconds(300)), 0);
    auto frame = pcmFrame(kPcm);
    int accepted = 0;
    while (client->sendAudio(&frame) == 0 && accepted < 200000) ++accepted; // bounded: ~128 MB at most
    ASSERT_LT(accepted, 200000) << "sendAudio never refused a server that reads nothing";
    EXPECT_GE(accepted, 256 * 1024 / 640) << "refused before the queue could be full";
    ASSERT_TRUE(listener.waitFor("session")) << "the listener did not hear why the session ended";
    EXPECT_EQ(listener.heard("session")[0].text, "send queue full, server not reading! state:4");
    EXPECT_EQ(client->sendAudio(&frame), -5);
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);
}

TEST_F(Bounds, EveryConnectionBeginsWithTheStartRequest) {
    // The writer floods; this test is about order, not the cap.
    useLimits([](QvAsrClientLimits& l) { l.sendQueueBytes = 64 << 20; });
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    std::atomic<bool> writing{true};
    std::thread writer([&] { // keeps writing across drops and restarts
        auto frame = pcmFrame(kPcm);
        while (writing) client->sendAudio(&frame);
    });
    struct Join {
        std::atomic<bool>& flag;
        std::thread& thread;
        ~Join() {
            flag = false;
            thread.join();
        }
    } joinWriter{writing, writer};
    constexpr int kConnections = 12;
    for (int round = 1; round <= kConnections; ++round) {
        startSession(client, listener, server.url());
        ASSERT_TRUE(server.raw().waitForFrames(server.raw().framesReceived() + 20)) << "no audio in round " << round;
        server.raw().drop(round);
        ASSERT_TRUE(listener.waitFor("session", round)) << "drop " << round << " was not reported";
        ASSERT_TRUE(loopBarrier(sharedLoop()));
    }
    for (int peer = 1; peer <= kConnections; ++peer) {
        auto frames = server.raw().framesOf(peer);
        ASSERT_FALSE(frames.empty());
        EXPECT_FALSE(frames[0].binary) << "connection " << peer << " began with old audio";
        EXPECT_NE(frames[0].data.find("START_SESSION_REQ"), std::string::npos) << "connection " << peer;
    }
}

TEST_F(Bounds, FramesAndClosesAreExactOnTheWire) {
    WirePeer wire(WirePeer::Mode::Recording);
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    std::string path = "/asr?" + std::string(quorvex::transport::detail::kMaxRequestPath - 5, 'q');
    ASSERT_EQ(startAndWait(client, listener, wire.url() + path.substr(4), milliseconds(300)), 0);
    EXPECT_EQ(wire.requestLine(), "GET " + path + " HTTP/1.1") << "the longest path was not sent whole";

    std::vector<unsigned char> big(100000, 3); // far over the batching size
    QvAsrAudioFrame frame{big.data(), static_cast<int>(big.size()), 1, 16000, 16};
    ASSERT_EQ(client->sendAudio(&frame), 0);
    ASSERT_EQ(client->stop(), 0);
    ASSERT_TRUE(listener.waitFor("stop"));
    ASSERT_TRUE(wire.waitFrames(4)) << "no close frame after the stop answer";
    auto frames = wire.frames();
    EXPECT_EQ(frames[1].opcode, 2);
    EXPECT_TRUE(frames[1].fin) << "one sendAudio must be one frame";
    EXPECT_EQ(frames[1].payload.size(), big.size());
    EXPECT_EQ(frames[3].opcode, 8);
    ASSERT_GE(frames[3].payload.size(), 2u);
    EXPECT_EQ((static_cast<unsigned char>(frames[3].payload[0]) << 8) | static_cast<unsigned char>(frames[3].payload[1]),
              1000);

    std::string tooLong = wire.url() + "?" + std::string(quorvex::transport::detail::kMaxRequestPath, 'q');
    EXPECT_EQ(start(make(listen()), tooLong), -1);
    EXPECT_TRUE(LogLines::contains("QUORVEX::QvAsrClientImpl::start refused: the path is longer than the 2032 bytes "
                                   "a request line can carry whole"));
}

TEST_F(Bounds, LimitsAreCheckedAndThePeersCloseCodeIsLogged) {
    QvAsrClientLimits limits{};
    EXPECT_EQ(setClientLimits(nullptr), -1);
    limits.stopTimeoutMs = -1;
    EXPECT_EQ(setClientLimits(&limits), -1);
    limits = QvAsrClientLimits{};
    limits.pingAfterSeconds = 30; // after the default hang-up of 20
    EXPECT_EQ(setClientLimits(&limits), -1);
    EXPECT_TRUE(LogLines::contains("QUORVEX::setClientLimits refused: the hang-up must come after the ping"));

    captureLwsLog();
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    startSession(client, listener, server.url());
    server.raw().closeClean(1, 1001);
    ASSERT_TRUE(listener.waitFor("session"));
    EXPECT_TRUE(lwsLogContains("peer closed the connection: 1001")) << "the server's close code was not logged";
    // A normal close is no news: thousands of sessions would log a line each.
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    ASSERT_EQ(start(client, server.url()), 0);
    ASSERT_TRUE(listener.waitFor("start", 2));
    server.raw().closeClean(2);
    ASSERT_TRUE(listener.waitFor("session", 2));
    EXPECT_FALSE(lwsLogContains("peer closed the connection: 1000")) << "a normal close was logged";
}
