// SPDX-License-Identifier: Apache-2.0
// Resumption ends within its bounds whatever the server does after it takes
// the new session, and every failure is explained by what failed.
#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "client_test_base.h"

using namespace quorvex::test;

namespace {

std::string startAnswer(int session) {
    return ScriptedServer::message("START_SESSION_RES", R"(,"msg_code":0,"msg_desc":"","msg_data":{"session_id":"s)" +
                                                            std::to_string(session) + "\"}");
}
const std::string kStopAnswer = ScriptedServer::message("STOP_SESSION_RES", R"(,"msg_code":0,"msg_desc":"")");
bool is(const Frame& frame, const char* type) { return !frame.binary && frame.data.find(type) != std::string::npos; }

struct ResumeRecorder : RecordingListener, QUORVEX::QvAsrResumeListener, QUORVEX::QvAsrStartFailureListener {
    void onResumed(const QUORVEX::QvAsrResumeInfo* info) override {
        resumed.update([&] { infos.push_back(*info); });
    }
    void onStartFailure(const QUORVEX::QvAsrStartFailure* failure) override {
        failures.update([&] { reasons.emplace_back(failure->text ? failure->text : ""); });
    }
    Signal resumed, failures;
    std::vector<QUORVEX::QvAsrResumeInfo> infos; // guarded by resumed
    std::vector<std::string> reasons;             // guarded by failures
};

} // namespace

class ResumeBounds : public ClientTest {
protected:
    void TearDown() override {
        ClientTest::TearDown();
        QUORVEX::setResumeSettings(nullptr);
        QUORVEX::QvAsrClientLimits defaults{};
        QUORVEX::setClientLimits(&defaults);
    }
    QUORVEX::QvAsrClient* resumingClient(ResumeRecorder& listener, int attempts, int backoffMs, int replayMs = 0) {
        QUORVEX::QvAsrResumeSettings settings{};
        settings.enabled = true;
        settings.attempts = attempts;
        settings.backoffMs = settings.backoffMaxMs = backoffMs;
        settings.replayMs = replayMs;
        EXPECT_EQ(QUORVEX::setResumeSettings(&settings), 0);
        QUORVEX::QvAsrClient* client = make(listener);
        QUORVEX::setResumeListener(client, &listener);
        QUORVEX::setStartFailureListener(client, &listener);
        return client;
    }
    // Outlives the clients, which the base class destroys after the test body.
    ResumeRecorder& recorder() { return recorders_.emplace_back(); }
    static int send(QUORVEX::QvAsrClient* client, int frames) {
        static const std::vector<unsigned char> pcm(640, 3);
        QUORVEX::QvAsrAudioFrame frame = pcmFrame(pcm);
        for (int i = 0; i < frames; ++i)
            if (int result = client->sendAudio(&frame); result != 0) return result;
        return 0;
    }
    std::deque<ResumeRecorder> recorders_;
};

// A server that takes every new session and then fails on what is replayed
// to it (or on the stop request) is given the attempts of the first loss, not
// a fresh set for each session it took: the session ends, stopped or not.
TEST_F(ResumeBounds, AServerThatFailsEachResumedSessionEndsItAfterTheAttempts) {
    for (bool stopFirst : {false, true}) {
        SCOPED_TRACE(stopFirst ? "fails on the stop request" : "fails on the audio");
        std::atomic<int> sessions{0};
        TestServer server;
        server.onFrame([&](Peer& peer, const Frame& frame) {
            if (is(frame, "START_SESSION_REQ")) peer.sendText(startAnswer(++sessions));
            else if (frame.binary ? !stopFirst && sessions > 1 : is(frame, "STOP_SESSION_REQ")) peer.drop();
        });
        ResumeRecorder& listener = recorder();
        QUORVEX::QvAsrClient* client = resumingClient(listener, 2, 10);
        startSession(client, listener, server.url("/asr"));
        ASSERT_EQ(send(client, 1), 0);
        if (stopFirst) ASSERT_EQ(client->stop(), 0);
        else server.drop(1);
        ASSERT_TRUE(listener.waitFor("session")) << "the session never ended; connections: " << server.opened();
        EXPECT_EQ(listener.heard("session")[0].text, stopFirst ? "disconnect from server! state:5"
                                                                : "disconnect from server! state:4");
        EXPECT_EQ(server.opened(), 3) << "the first connection and two attempts";
        EXPECT_EQ(listener.count("stop"), 0);
        std::lock_guard<std::mutex> guard(listener.resumed.lock());
        ASSERT_EQ(listener.infos.size(), 2u);
        EXPECT_EQ(listener.infos[1].attempt, 2) << "the second loss counts on from the first";
    }
}

// The replay goes into the send queue at once: a buffer over half the queue
// is cut to that half, and the session carries on without the oldest audio.
TEST_F(ResumeBounds, AReplayBufferOverHalfTheSendQueueIsCutToIt) {
    QUORVEX::QvAsrClientLimits limits{};
    limits.sendQueueBytes = 64000;
    ASSERT_EQ(QUORVEX::setClientLimits(&limits), 0);
    std::atomic<int> sessions{0};
    TestServer server;
    server.onFrame([&](Peer& peer, const Frame& frame) {
        if (is(frame, "START_SESSION_REQ")) peer.sendText(startAnswer(++sessions));
        if (is(frame, "STOP_SESSION_REQ")) peer.sendText(kStopAnswer);
    });
    ResumeRecorder& listener = recorder();
    QUORVEX::QvAsrClient* client = resumingClient(listener, 3, 10, 10000);
    startSession(client, listener, server.url("/asr"));
    EXPECT_TRUE(LogLines::contains(
        "QUORVEX::QvAsrClientImpl::start: audio kept for replay cut to 1000 ms, half the send queue's 64000 bytes"));
    for (int second = 1; second <= 3; ++second) { // no final result; each second read before the next
        ASSERT_EQ(send(client, 50), 0);
        ASSERT_TRUE(server.waitForFrames(1 + 50 * second));
    }
    server.drop(1);
    ASSERT_TRUE(listener.resumed.waitUntil([&] { return !listener.infos.empty(); })) << "not resumed";
    {
        std::lock_guard<std::mutex> guard(listener.resumed.lock());
        EXPECT_EQ(listener.infos[0].replayedMs, 1000);
        EXPECT_EQ(listener.infos[0].unreplayableMs, 2000);
    }
    ASSERT_EQ(client->stop(), 0);
    ASSERT_TRUE(listener.waitFor("stop")) << "the resumed session did not carry on";
    EXPECT_EQ(listener.count("session"), 0);
}

// Audio past the replay buffer's bound while an attempt waits for its start
// answer: nothing of the refused positions goes out, and the failure says why.
TEST_F(ResumeBounds, AnOverrunWhileAnAttemptStartsIsExplainedAndSendsNothingStale) {
    std::atomic<int> sessions{0};
    TestServer server;
    server.onFrame([&](Peer& peer, const Frame& frame) {
        if (is(frame, "START_SESSION_REQ") && ++sessions == 1) peer.sendText(startAnswer(1));
    });
    ResumeRecorder& listener = recorder();
    QUORVEX::QvAsrClient* client = resumingClient(listener, 3, 10, 1000);
    startSession(client, listener, server.url("/asr"));
    ASSERT_EQ(send(client, 10), 0);
    ASSERT_TRUE(server.waitForFrames(11));
    server.drop(1);
    ASSERT_TRUE(server.waitForFrames(12)) << "no second start request";
    ASSERT_EQ(send(client, 100), -5) << "one second of audio is all the buffer holds";
    server.send(2, startAnswer(2));
    ASSERT_TRUE(listener.waitFor("session")) << "the session did not end";
    EXPECT_EQ(listener.heard("session")[0].text, "send queue full, server not reading! state:4");
    ASSERT_TRUE(listener.failures.waitUntil([&] { return !listener.reasons.empty(); }));
    {
        std::lock_guard<std::mutex> guard(listener.failures.lock());
        EXPECT_EQ(listener.reasons.back(), "audio held while resuming passed its bound");
    }
    ASSERT_TRUE(server.waitForClosed(2));
    for (const Frame& frame : server.framesOf(2)) EXPECT_FALSE(frame.binary) << "audio went to the closed attempt";
}
