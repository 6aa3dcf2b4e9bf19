// SPDX-License-Identifier: Apache-2.0
// More than one event loop: each client hears everything on its own loop.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "client_test_base.h"

using namespace quorvex::test;
using namespace QUORVEX;

namespace {

// A listener that notes the thread of every call it hears.
struct ThreadNotingListener {
    RecordingListener listener;
    Signal signal;
    std::set<std::thread::id> threads;
    ThreadNotingListener() {
        listener.then = [this](const Heard&) { signal.update([this] { threads.insert(std::this_thread::get_id()); }); };
    }
    std::set<std::thread::id> seen() {
        std::lock_guard<std::mutex> guard(signal.lock());
        return threads;
    }
};

class TwoLoops : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(setLoopThreads(2), 0);
        QvAsrSdkLogParam param{false, nullptr, nullptr};
        QvAsrSdkInitParam initParam{};
        ASSERT_EQ(init(&param, &initParam), 0);
    }
    void TearDown() override {
        release();
        setLoopThreads(1);
    }
};

} // namespace

TEST(LoopThreads, OutOfRangeOrWhileInitialisedIsRefused) {
    EXPECT_EQ(setLoopThreads(0), -1);
    EXPECT_EQ(setLoopThreads(17), -1);
    QvAsrSdkLogParam param{false, nullptr, nullptr};
    QvAsrSdkInitParam initParam{};
    ASSERT_EQ(init(&param, &initParam), 0);
    EXPECT_EQ(setLoopThreads(2), -5);
    release();
    EXPECT_EQ(setLoopThreads(1), 0);
}

// Start result, texts, deadline and destruction of one client all come on
// one thread; consecutive clients are on different loops.
TEST_F(TwoLoops, EachClientHearsEverythingOnTheThreadOfItsOwnLoop) {
    ScriptedServer server;
    server.answerStop = false;
    QvAsrClientLimits limits{0, 0, 300, 0, 0, 0};
    ASSERT_EQ(setClientLimits(&limits), 0);
    constexpr int kClients = 4;
    ThreadNotingListener listeners[kClients];
    QvAsrClient* clients[kClients];
    for (int i = 0; i < kClients; ++i) {
        clients[i] = createAsrInstance();
        ASSERT_EQ(clients[i]->init(&listeners[i].listener), 0);
        std::string url = server.url();
        QvAsrStartParam param{url.c_str(), "token"};
        ASSERT_EQ(clients[i]->start(&param), 0);
    }
    for (int i = 0; i < kClients; ++i) ASSERT_TRUE(listeners[i].listener.waitFor("start")) << "client " << i;
    for (int peer = 1; peer <= kClients; ++peer) server.send(peer, ScriptedServer::recognitionText("hi", 0, 10, 1));
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(listeners[i].listener.waitFor("text")) << "client " << i;
        ASSERT_EQ(clients[i]->stop(), 0);
    }
    for (int i = 0; i < kClients; ++i) {
        // The stop deadline (a timer) ends the silent session on the client's loop.
        ASSERT_TRUE(listeners[i].listener.waitFor("session")) << "client " << i << ": no stop deadline";
        ASSERT_TRUE(clients[i] && destroyAsrInstance(clients[i]) == 0) << "client " << i;
        ASSERT_TRUE(listeners[i].listener.waitFor("destroyed")) << "client " << i;
    }
    std::set<std::thread::id> all;
    for (int i = 0; i < kClients; ++i) {
        auto seen = listeners[i].seen();
        EXPECT_EQ(seen.size(), 1u) << "client " << i << " heard events on " << seen.size() << " threads";
        all.insert(seen.begin(), seen.end());
    }
    EXPECT_EQ(all.size(), 2u) << "clients were not spread over both loops";
    EXPECT_NE(listeners[0].seen(), listeners[1].seen());
    EXPECT_EQ(listeners[0].seen(), listeners[2].seen());
    for (auto* client : clients) delete client;
    QvAsrClientLimits defaults{};
    setClientLimits(&defaults);
}
