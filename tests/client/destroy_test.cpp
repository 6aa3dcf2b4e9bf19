// SPDX-License-Identifier: Apache-2.0
#include <thread>

#include "client_test_base.h"
#include "refusing_port.h"

using namespace quorvex::test;
using namespace QUORVEX;

class Destroy : public ClientTest {};

TEST_F(Destroy, IdleAndClosedClientsGoAtOnceAsOftenAsAsked) {
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    EXPECT_EQ(destroyAsrInstance(client), 0);
    EXPECT_EQ(listener.count("destroyed"), 1) << "onDestroyed comes before destroyAsrInstance returns";
    EXPECT_TRUE(LogLines::contains(" destory suc state!")) << "empty session id in front";
    EXPECT_TRUE(LogLines::contains("out QUORVEX::destroyAsrInstance"));

    ScriptedServer server;
    startSession(client, listener, server.url());
    ASSERT_EQ(client->stop(), 0);
    ASSERT_TRUE(LogLines::waitFor("sid-1 QUORVEX::QvAsrClientImpl::onClose"));
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(destroyAsrInstance(client), 0);
    EXPECT_EQ(destroyAsrInstance(client), 0);
    EXPECT_EQ(listener.count("destroyed"), 3);
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);
    EXPECT_EQ(start(client, server.url()), 0) << "a destroyed client is still usable";
    ASSERT_TRUE(listener.waitFor("start", 2));
}

TEST_F(Destroy, BusyClientIsRefusedAndKeepsStreaming) {
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    startSession(client, listener, server.url());
    EXPECT_EQ(destroyAsrInstance(client), -5);
    EXPECT_TRUE(LogLines::contains("sid-1 can not destory!"));
    EXPECT_EQ(listener.count("destroyed"), 0);
    const std::vector<unsigned char> pcm(640, 7);
    auto frame = pcmFrame(pcm);
    EXPECT_EQ(client->sendAudio(&frame), 0);
    ASSERT_TRUE(server.raw().waitForFrames(2));
}

TEST_F(Destroy, FailedSessionIsClosedAndCompletedByTheCloseEvent) {
    ScriptedServer server;
    server.startCode = 7; // refused, and the server never closes
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    ASSERT_EQ(start(client, server.url()), 0);
    ASSERT_TRUE(listener.waitFor("start"));
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    ASSERT_EQ(stateOf(client), ASR_STATE_FAILED);
    EXPECT_EQ(destroyAsrInstance(client), 0);
    EXPECT_EQ(listener.count("destroyed"), 1);
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);
    EXPECT_TRUE(LogLines::contains(" not stable state destory!"));
    EXPECT_TRUE(LogLines::contains(" destory suc onClose!"));
    EXPECT_EQ(listener.count("session"), 0);
}

TEST_F(Destroy, RightAfterTheStopAnswerWaitsForTheClose) {
    ScriptedServer server;
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    startSession(client, listener, server.url());
    std::atomic<int> result{99};
    std::thread destroyer;
    // Destroy from another thread while the loop is still inside onStopResult (state 6).
    listener.then = [&](const Heard& heard) {
        if (heard.call == "stop") destroyer = std::thread([&] { result = destroyAsrInstance(client); });
    };
    ASSERT_EQ(client->stop(), 0);
    ASSERT_TRUE(listener.waitFor("destroyed")) << "onDestroyed did not arrive";
    destroyer.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(listener.count("destroyed"), 1);
    EXPECT_EQ(stateOf(client), ASR_STATE_CLOSED);
}

TEST_F(Destroy, MessagesWhileDestructionIsPendingDoNotStrandTheCaller) {
    // Drives the event operations by hand on the loop thread, in the one order
    // a network cannot be relied on to produce: a message between the
    // accepted destruction and the close.
    RecordingListener& listener = listen();
    auto* client = static_cast<QvAsrClientImpl*>(make(listener));
    DestroyRequest request;
    std::vector<int> states;
    Signal signal;
    bool done = false;
    sharedClient->getContext()->addTimer([&](void*) {
        std::string refused = ScriptedServer::message("START_SESSION_RES", R"(,"msg_code":1)");
        std::string accepted = ScriptedServer::message("START_SESSION_RES", R"(,"msg_code":0,"msg_data":{"session_id":"s"})");
        std::string text = ScriptedServer::recognitionText("still delivered", 1, 2, 0);
        std::string exception = ScriptedServer::message("EXCEPTION_NTF", R"(,"msg_desc":"late")");
        client->onTextData(refused.data(), static_cast<int>(refused.size()));
        states.push_back(client->currentState());
        client->checkDestroy(&request);
        states.push_back(client->currentState());
        for (const std::string* message : {&accepted, &text, &exception}) {
            client->onTextData(message->data(), static_cast<int>(message->size()));
            states.push_back(client->currentState());
        }
        client->onClose();
        states.push_back(client->currentState());
        signal.update([&] { done = true; });
        return false;
    }, 0);
    ASSERT_TRUE(signal.waitUntil([&] { return done; }));
    EXPECT_EQ(states, (std::vector<int>{ASR_STATE_FAILED, ASR_STATE_DESTROY_PENDING, ASR_STATE_DESTROY_PENDING,
                                        ASR_STATE_DESTROY_PENDING, ASR_STATE_DESTROY_PENDING, ASR_STATE_CLOSED}));
    EXPECT_TRUE(request.completed);
    EXPECT_EQ(request.result, 0);
    EXPECT_EQ(listener.count("destroyed"), 1);
    EXPECT_EQ(listener.heard("text").at(0).text, "still delivered");
    EXPECT_EQ(listener.heard("session").at(0).text, "late");
}

TEST_F(Destroy, WaiterIgnoresOtherClientsCompletionsUntilItsOwnClose) {
    // A failed session without a connection: its destruction waits for a
    // close that only this test delivers, so the order below is fixed.
    RecordingListener& listener = listen();
    auto* pending = static_cast<QvAsrClientImpl*>(make(listener));
    QvAsrClient* other = make(listen());
    std::string refused = ScriptedServer::message("START_SESSION_RES", R"(,"msg_code":1)");
    ASSERT_TRUE(runOnLoop(sharedLoop(), [&] { pending->onTextData(refused.data(), static_cast<int>(refused.size())); }));
    ASSERT_EQ(stateOf(pending), ASR_STATE_FAILED);

    Signal signal; // guards the waiter's record below
    bool returned = false;
    int result = 99, heardBeforeReturn = -1;
    std::thread waiter([&] {
        int code = destroyAsrInstance(pending);
        int heard = listener.count("destroyed");
        signal.update([&] {
            returned = true;
            result = code;
            heardBeforeReturn = heard;
        });
    });
    // The check runs only once the waiter sleeps on the shared condition
    // (it holds the lock until then); the other client's check runs after it.
    EXPECT_TRUE(LogLines::waitFor(" not stable state destory!")) << "the destruction check did not run";
    EXPECT_EQ(destroyAsrInstance(other), 0); // completes, and signals the shared condition
    // A wrong wake-up returns within microseconds; a right one never does.
    bool early = signal.waitUntil([&] { return returned; }, std::chrono::milliseconds(250));
    EXPECT_FALSE(early) << "destroyAsrInstance returned on another client's completion";
    // Delivered only to a caller still waiting: after an early return it would write into a dead frame.
    if (!early) {
        EXPECT_TRUE(runOnLoop(sharedLoop(), [&] { pending->onClose(); }));
    }
    EXPECT_TRUE(signal.waitUntil([&] { return returned; })) << "its own close did not end the wait";
    waiter.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(heardBeforeReturn, 1) << "returned before its onDestroyed";
    EXPECT_EQ(listener.count("destroyed"), 1);
    EXPECT_EQ(stateOf(pending), ASR_STATE_CLOSED);
}

TEST_F(Destroy, ManyThreadsOnManyClientsEachGetTheirOwnAnswer) {
    ScriptedServer server;
    constexpr int kClients = 6;
    std::vector<RecordingListener*> listeners;
    std::vector<QvAsrClient*> idle, failed;
    for (int i = 0; i < kClients; ++i) {
        listeners.push_back(&listen());
        idle.push_back(make(*listeners.back()));
    }
    // Failed sessions wait for their close: their callers must not be woken by the idle ones.
    server.startCode = 1;
    for (int i = 0; i < 2; ++i) {
        listeners.push_back(&listen());
        failed.push_back(make(*listeners.back()));
        ASSERT_EQ(start(failed.back(), server.url()), 0);
        ASSERT_TRUE(listeners.back()->waitFor("start"));
    }
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    std::vector<std::thread> threads;
    std::vector<int> results(kClients + 2 + 4, 99);
    std::vector<int> heardBeforeReturn(results.size(), -1);
    auto destroyOne = [&](QvAsrClient* client, RecordingListener& listener, std::size_t slot) {
        threads.emplace_back([&, client, slot] {
            results[slot] = destroyAsrInstance(client);
            heardBeforeReturn[slot] = listener.count("destroyed");
        });
    };
    for (int i = 0; i < kClients; ++i) destroyOne(idle[i], *listeners[i], i);
    for (int i = 0; i < 2; ++i) destroyOne(failed[i], *listeners[kClients + i], kClients + i);
    for (int i = 0; i < 4; ++i) destroyOne(idle[0], *listeners[0], kClients + 2 + i); // one client, many callers
    for (auto& thread : threads) thread.join();
    for (std::size_t slot = 0; slot < results.size(); ++slot) {
        EXPECT_EQ(results[slot], 0) << "slot " << slot;
        EXPECT_GE(heardBeforeReturn[slot], 1) << "slot " << slot << " returned before its onDestroyed";
    }
    EXPECT_EQ(listeners[0]->count("destroyed"), 5);
    for (int i = 1; i < kClients + 2; ++i) EXPECT_EQ(listeners[i]->count("destroyed"), 1) << i;
}

TEST_F(Destroy, FromInsideAListenerIsRefusedWithoutDeadlock) {
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    std::atomic<int> inner{99};
    listener.then = [&](const Heard& heard) {
        if (heard.call == "start") inner = destroyAsrInstance(client);
    };
    RefusingPort refusing; // a failing start gives a listener call on the loop thread
    ASSERT_EQ(start(client, refusing.url()), 0);
    ASSERT_TRUE(listener.waitFor("start"));
    ASSERT_TRUE(loopBarrier(sharedLoop()));
    EXPECT_EQ(inner, -5);
    EXPECT_EQ(listener.count("destroyed"), 0);
    EXPECT_EQ(destroyAsrInstance(client), 0);
}

TEST_F(Destroy, NullAndUninitialisedCasesNeverCrash) {
    EXPECT_EQ(destroyAsrInstance(nullptr), -1);
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    release();
    EXPECT_EQ(destroyAsrInstance(client), 0) << "not initialised: nothing to do";
    EXPECT_EQ(createAsrInstance(), nullptr);

    QvAsrSdkInitParam params{};
    EXPECT_EQ(init(nullptr, &params), -1); // initialised without its records
    QvAsrClient* orphan = createAsrInstance();
    ASSERT_NE(orphan, nullptr);
    EXPECT_EQ(destroyAsrInstance(orphan), -1);
    delete orphan;
    release();
    QvAsrSdkLogParam quiet{false, nullptr, nullptr};
    ASSERT_EQ(init(&quiet, &params), 0);
}
