// SPDX-License-Identifier: Apache-2.0
#include "client_test_base.h"
#include "hand_off_pause.h"
#include "refusing_port.h"

using namespace quorvex::test;
using namespace QUORVEX;

namespace {
const std::vector<unsigned char> kPcm = {1, 0, 2, 0, 255, 127, 0, 128};

} // namespace

class Session : public ClientTest {};

TEST_F(Session, WholeSessionFromStartToCloseAndStartAgain) {
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    EXPECT_EQ(stateOf(client), ASR_STATE_IDLE);

    ASSERT_EQ(start(client, server.url(), "token-1"), 0);
    ASSERT_TRUE(listener.waitFor("start"));
    auto started = listener.heard("start")[0];
    EXPECT_EQ(started.code, 0);
    EXPECT_EQ(started.text, "sid-1");
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_STARTED);
    EXPECT_TRUE(LogLines::contains("sid-1 START_SESSION_RES suc"));

    auto frame = pcmFrame(kPcm);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(client->sendAudio(&frame), 0);
    ASSERT_TRUE(server.raw().waitForFrames(4));
    auto request = server.jsonFrames(1).at(0);
    EXPECT_EQ(request["msg_type"].asString(), "START_SESSION_REQ");
    EXPECT_EQ(request["service_type"].asString(), "ASR");
    EXPECT_EQ(request["msg_id"].asString(), "");
    EXPECT_EQ(request["msg_data"]["token"].asString(), "token-1");
    EXPECT_EQ(request.size(), 4u);
    auto frames = server.raw().framesOf(1);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_TRUE(frames[i].binary);
        EXPECT_EQ(frames[i].data, std::string(kPcm.begin(), kPcm.end()));
    }

    server.send(1, ScriptedServer::recognitionText("hello", 0, 480, 0));
    server.send(1, ScriptedServer::recognitionText("hello world", 0, 960, 1));
    ASSERT_TRUE(listener.waitFor("text", 2));
    auto texts = listener.heard("text");
    EXPECT_EQ(texts[0].text, "hello");
    EXPECT_EQ(texts[1].text, "hello world");
    EXPECT_EQ(texts[1].ed, 960);
    EXPECT_EQ(texts[1].fin, 1);

    ASSERT_EQ(client->stop(), 0);
    EXPECT_EQ(client->stop(), -5);
    ASSERT_TRUE(listener.waitFor("stop"));
    EXPECT_EQ(listener.heard("stop")[0].code, 0);
    EXPECT_EQ(listener.heard("text").back().text, "final words");
    ASSERT_TRUE(LogLines::waitFor("sid-1 QUORVEX::QvAsrClientImpl::onClose"));
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);
    EXPECT_EQ(listener.count("session"), 0) << "a close the session asked for is no error";
    auto stopRequest = server.jsonFrames(1).back();
    EXPECT_EQ(stopRequest.size(), 3u);
    EXPECT_EQ(stopRequest["msg_type"].asString(), "STOP_SESSION_REQ");

    ASSERT_EQ(start(client, server.url(), "token-2"), 0);
    ASSERT_TRUE(listener.waitFor("start", 2));
    EXPECT_EQ(listener.heard("start")[1].text, "sid-2");
    EXPECT_EQ(server.jsonFrames(2).at(0)["msg_data"]["token"].asString(), "token-2");
}

TEST_F(Session, ConnectionFailuresAndRefusedSessions) {
    RefusingPort refusingPort;
    std::string refused = refusingPort.url();
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    ASSERT_EQ(start(client, refused), 0);
    ASSERT_TRUE(listener.waitFor("start"));
    EXPECT_EQ(listener.heard("start")[0].code, -2);
    EXPECT_TRUE(listener.heard("start")[0].textWasNull);
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);

    EXPECT_EQ(start(client, "http://127.0.0.1/"), -1) << "the wrapper refuses the URL at once";
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);

    ScriptedServer server;
    server.startCode = 1;
    ASSERT_EQ(start(client, server.url()), 0);
    ASSERT_TRUE(listener.waitFor("start", 2));
    EXPECT_EQ(listener.heard("start")[1].code, -4);
    EXPECT_TRUE(listener.heard("start")[1].textWasNull);
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_FAILED);
    EXPECT_TRUE(LogLines::contains(" START_SESSION_RES error"));
    LogLines::clear();
    EXPECT_EQ(start(client, server.url()), -5);
    EXPECT_TRUE(LogLines::contains("is not stable state.fix next!"));
    EXPECT_EQ(client->stop(), -5);
    server.raw().closeClean(1);
    ASSERT_TRUE(LogLines::waitFor(" QUORVEX::QvAsrClientImpl::onClose"));
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);
    EXPECT_EQ(listener.count("session"), 0);
}

TEST_F(Session, ExceptionNotificationThenServerClose) {
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    startSession(client, listener, server.url());
    server.send(1, ScriptedServer::message("EXCEPTION_NTF", R"(,"msg_code":500,"msg_desc":"engine down")"));
    ASSERT_TRUE(listener.waitFor("session"));
    EXPECT_EQ(listener.heard("session")[0].code, 1);
    EXPECT_EQ(listener.heard("session")[0].text, "engine down");
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_FAILED);
    EXPECT_TRUE(LogLines::contains("sid-1 EXCEPTION_NTF error:engine down"));
    auto frame = pcmFrame(kPcm);
    EXPECT_EQ(client->sendAudio(&frame), -5);
    server.raw().closeClean(1);
    ASSERT_TRUE(LogLines::waitFor("sid-1 QUORVEX::QvAsrClientImpl::onClose"));
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);
    EXPECT_EQ(listener.count("session"), 1);
}

TEST_F(Session, DropsAreReportedWithTheStateTheyHappenedIn) {
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    startSession(client, listener, server.url());
    server.raw().drop(1);
    ASSERT_TRUE(listener.waitFor("session"));
    EXPECT_EQ(listener.heard("session")[0].text, "disconnect from server! state:4");
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);

    server.answerStart = false;
    ASSERT_EQ(start(client, server.url()), 0);
    ASSERT_TRUE(server.raw().waitForFrames(2)) << "START_SESSION_REQ did not arrive";
    server.raw().drop(2);
    ASSERT_TRUE(listener.waitFor("session", 2));
    EXPECT_EQ(listener.heard("session")[1].text, "disconnect from server! state:3");
}

TEST_F(Session, MessagesAfterStopAreStillDelivered) {
    ScriptedServer server;
    server.answerStop = false;
    server.stopCode = 3;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    startSession(client, listener, server.url());
    ASSERT_EQ(client->stop(), 0);
    EXPECT_EQ(stateOf(client), ASR_STATE_STOPPING);
    auto frame = pcmFrame(kPcm);
    EXPECT_EQ(client->sendAudio(&frame), -5);
    server.send(1, ScriptedServer::recognitionText("late", 5, 6, 1));
    ASSERT_TRUE(listener.waitFor("text"));
    EXPECT_EQ(listener.heard("text")[0].bg, 5);
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_STOPPING);
    server.send(1, ScriptedServer::message("STOP_SESSION_RES", R"(,"msg_code":3)"));
    ASSERT_TRUE(listener.waitFor("stop"));
    EXPECT_EQ(listener.heard("stop")[0].code, 0) << "every stop answer counts as success";
    ASSERT_TRUE(server.raw().waitForClosed(1)) << "the client closes after the stop answer";
}

TEST_F(Session, HostileFramesAreReportedOrIgnoredAndTheSessionGoesOn) {
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    startSession(client, listener, server.url());
    std::string deep(200000, '[');
    std::string huge = ScriptedServer::recognitionText(std::string(1 << 20, 'h'), 1, 2, 3);
    for (const std::string& frame : {std::string("not json"), std::string("[1,2]"), deep, std::string(""),
                                     std::string(R"({"service_type":"asr","msg_type":"RECOGNITION_TEXT"})"),
                                     ScriptedServer::message("START_SESSION_REQ"), ScriptedServer::message("NO_SUCH_TYPE"),
                                     std::string(R"({"service_type":"ASR"})"), huge}) {
        server.send(1, frame);
    }
    server.raw().sendBinary(1, "binary from server is ignored");
    ASSERT_TRUE(listener.waitFor("text")) << "the huge text did not arrive";
    auto errors = listener.heard("message");
    ASSERT_EQ(errors.size(), 5u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(errors[i].code, 1);
        EXPECT_EQ(errors[i].text, "the msg is not json!") << i;
    }
    EXPECT_EQ(errors[4].text, "the msg is not for asr!");
    EXPECT_EQ(listener.heard("text")[0].text.size(), 1u << 20);
    EXPECT_TRUE(LogLines::contains("sid-1 `not json` is not json!"));
    EXPECT_TRUE(LogLines::contains(
        R"(sid-1 `{"service_type":"asr","msg_type":"RECOGNITION_TEXT"}` is not for asr , asr!)"));
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_STARTED);
    auto frame = pcmFrame(kPcm);
    EXPECT_EQ(client->sendAudio(&frame), 0);
}

// Frames cut at odd byte counts reach the server in whole samples, every
// byte in order; a byte left at stop is dropped and said so.
TEST_F(Session, OddLengthFramesKeepTheByteStreamWhole) {
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    std::vector<unsigned char> odd(321);
    for (std::size_t i = 0; i < odd.size(); ++i) odd[i] = static_cast<unsigned char>(i);
    auto oddFrame = pcmFrame(odd);
    EXPECT_EQ(client->sendAudio(&oddFrame), -5) << "outside a running session";
    startSession(client, listener, server.url());
    QvAsrStartParam malformed{"no url", "t"};
    EXPECT_EQ(client->start(&malformed), -5) << "a busy client answers for its state first";
    EXPECT_EQ(client->sendAudio(&oddFrame), 0);
    EXPECT_EQ(client->sendAudio(&oddFrame), 0);
    EXPECT_EQ(client->sendAudio(&oddFrame), 0);
    ASSERT_TRUE(server.raw().waitForFrames(4)) << "the odd frames did not arrive";
    auto frames = server.raw().frames();
    std::string expected(odd.begin(), odd.end()), received;
    expected = expected + expected + expected.substr(0, 320);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(frames[i].data.size() % 2, 0u) << "frame " << i << " splits a sample";
        received += frames[i].data;
    }
    EXPECT_EQ(received, expected);
    ASSERT_EQ(client->stop(), 0);
    EXPECT_TRUE(LogLines::contains(listener.heard("start")[0].text +
                                   " the audio's last byte is dropped: half a 16-bit sample"));
}

TEST_F(Session, AudioFormatAndArgumentChecks) {
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    auto good = pcmFrame(kPcm);
    QvAsrAudioFrame eightBit = good, stereo = good, rate = good;
    eightBit.bitsPerSample = 8;
    stereo.channels = 2;
    rate.sampleRate = 8000;
    auto checkFormats = [&] {
        for (auto* bad : {&eightBit, &stereo, &rate}) EXPECT_EQ(client->sendAudio(bad), -1);
    };
    checkFormats();
    EXPECT_EQ(client->sendAudio(&good), -5) << "not started";
    EXPECT_EQ(client->stop(), -5);
    startSession(client, listener, server.url());
    checkFormats();
    EXPECT_EQ(client->sendAudio(nullptr), -1);
    QvAsrAudioFrame negative = good, missing = good, empty = good;
    negative.length = -4;
    missing.data = nullptr;
    empty.length = 0;
    EXPECT_EQ(client->sendAudio(&negative), -1);
    EXPECT_EQ(client->sendAudio(&missing), -1);
    EXPECT_EQ(client->sendAudio(&empty), 0);
    ASSERT_TRUE(server.raw().waitForFrames(2));
    EXPECT_TRUE(server.raw().frames()[1].binary);
    EXPECT_EQ(server.raw().frames()[1].data, "");
    EXPECT_EQ(start(client, server.url()), -5);

    QvAsrStartParam noUrl{nullptr, "t"}, noToken{"ws://127.0.0.1:1/", nullptr};
    RecordingListener& other = listen();
    QvAsrClient* fresh = make(other);
    EXPECT_EQ(fresh->start(nullptr), -1);
    EXPECT_EQ(fresh->start(&noUrl), -1);
    EXPECT_EQ(fresh->start(&noToken), -1);
    EXPECT_EQ(fresh->init(nullptr), -1);
    EXPECT_EQ(stateOf(fresh), ASR_STATE_IDLE);
}

TEST_F(Session, ReentrantCallsFromListenerCalls) {
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    auto frame = pcmFrame(kPcm);
    std::atomic<int> fromStart{99}, fromConnectErr{99}, fromSessionError{99};
    RefusingPort refusingPort;
    std::string refused = refusingPort.url();
    std::string url = server.url();
    listener.then = [&](const Heard& heard) {
        if (heard.call == "start" && heard.code == 0) fromStart = client->sendAudio(&frame);
        if (heard.call == "start" && heard.code == -2) fromConnectErr = start(client, url);
        if (heard.call == "session") fromSessionError = start(client, url);
    };
    ASSERT_EQ(start(client, refused), 0);
    ASSERT_TRUE(listener.waitFor("start", 2)) << "the start from inside onStartResult(-2) did not run";
    EXPECT_EQ(fromConnectErr, 0);
    EXPECT_EQ(fromStart, 0);
    ASSERT_TRUE(server.raw().waitForFrames(2));
    EXPECT_TRUE(server.raw().frames()[1].binary);
    server.raw().drop(1);
    ASSERT_TRUE(listener.waitFor("session"));
    EXPECT_EQ(fromSessionError, -5) << "the state is still 4 during onSessionError";
}

TEST_F(Session, SecureServerWithSelfSignedCertificate) {
    ScriptedServer server(TestServer::Options{true, false});
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    startSession(client, listener, server.url());
    EXPECT_EQ(listener.heard("start")[0].text, "sid-1");
}

// A frame whose hand-off was still under way when its session ended is
// dropped: it must never leave on the next session's connection.
TEST_F(Session, AFrameAcceptedForOneSessionNeverLeavesOnTheNext) {
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    startSession(client, listener, server.url());
    // A frame's hand-off as sendAudio makes it: for the connection read first.
    auto& conn = dynamic_cast<CWSSConn&>(*client);
    HandOffPause pause(conn, std::string(640, '\xEE'), true, quorvex::transport::sendConnection(conn));
    ASSERT_TRUE(pause.waitPaused()) << "the writer never reached its hand-off";
    ASSERT_EQ(client->stop(), 0);
    ASSERT_TRUE(listener.waitFor("stop")) << "the first session did not stop";
    ASSERT_TRUE(LogLines::waitFor(listener.heard("start")[0].text + " QUORVEX::QvAsrClientImpl::onClose"))
        << "the first session's connection did not close";
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    startSession(client, listener, server.url());
    EXPECT_TRUE(pause.release()) << "the writer went on before the next session started";
    std::vector<unsigned char> marker(640, 0x11);
    auto next = pcmFrame(marker);
    ASSERT_EQ(client->sendAudio(&next), 0);
    // Each session's start request and the first's stop, then the marker: a
    // frame leaked onto the second connection would come before the marker.
    ASSERT_TRUE(server.raw().waitForFrames(4)) << "the second session's own frame did not arrive";
    for (const auto& frame : server.raw().frames())
        EXPECT_FALSE(frame.binary && frame.data[0] == '\xEE') << "the first session's frame left on peer " << frame.peer;
}
