// SPDX-License-Identifier: Apache-2.0
#include "client_test_base.h"

using namespace quorvex::test;
using namespace QUORVEX;

class Lifecycle : public ClientTest {};

TEST_F(Lifecycle, ReleaseWhileSessionsLiveClosesThemAndLeavesClientsSafe) {
    ScriptedServer server;
    RecordingListener& streaming = listen();
    RecordingListener& idle = listen();
    QvAsrClient* live = make(streaming);
    QvAsrClient* fresh = make(idle);
    startSession(live, streaming, server.url());
    release();
    ASSERT_EQ(streaming.count("session"), 1) << "the open session hears of its close before release returns";
    EXPECT_EQ(streaming.heard("session")[0].text, "disconnect from server! state:4");
    EXPECT_EQ(stateOf(live), ASR_STATE_CLOSED);
    ASSERT_TRUE(server.raw().waitForClosed(1));

    const std::vector<unsigned char> pcm(320, 1);
    auto frame = pcmFrame(pcm);
    EXPECT_EQ(start(live, server.url()), -1);
    EXPECT_EQ(start(fresh, server.url()), -1);
    EXPECT_EQ(live->sendAudio(&frame), -5);
    EXPECT_EQ(live->stop(), -5);
    EXPECT_EQ(destroyAsrInstance(live), 0);

    QvAsrSdkLogParam param{};
    LogLines::install(param);
    QvAsrSdkInitParam initParam{};
    ASSERT_EQ(init(&param, &initParam), 0);
    startSession(live, streaming, server.url()); // the same client on the new context
    EXPECT_EQ(idle.count("start"), 0);
}

TEST_F(Lifecycle, CreateGivesDistinctClientsThatStartIdle) {
    RecordingListener& listener = listen();
    QvAsrClient* first = make(listener);
    QvAsrClient* second = make(listener);
    EXPECT_NE(first, second);
    EXPECT_EQ(stateOf(first), ASR_STATE_IDLE);
    EXPECT_TRUE(LogLines::contains("QUORVEX::createAsrInstance"));
    RecordingListener& replacement = listen();
    EXPECT_EQ(first->init(&replacement), 0);
    EXPECT_EQ(first->init(nullptr), -1);
    EXPECT_EQ(destroyAsrInstance(first), 0);
    EXPECT_EQ(replacement.count("destroyed"), 1);
    EXPECT_EQ(listener.count("destroyed"), 0);
}

TEST_F(Lifecycle, ClientWithoutListenerStillMovesThroughItsStates) {
    ScriptedServer server;
    QvAsrClient* client = createAsrInstance();
    clients_.push_back(client);
    ASSERT_EQ(start(client, server.url()), 0);
    ASSERT_TRUE(LogLines::waitFor("sid-1 START_SESSION_RES suc"));
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_STARTED);
    server.raw().drop(1);
    ASSERT_TRUE(LogLines::waitFor("sid-1 QUORVEX::QvAsrClientImpl::onClose"));
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);
    EXPECT_EQ(destroyAsrInstance(client), 0);
}

TEST_F(Lifecycle, DeletingAStreamingClientDetachesItFromTheLoop) {
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = createAsrInstance();
    client->init(&listener);
    startSession(client, listener, server.url());
    delete client;
    ASSERT_TRUE(server.raw().waitForClosed(1));
    server.raw().send(1, ScriptedServer::recognitionText("nobody listens", 0, 0, 0));
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(listener.count("text"), 0);
}
