// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_CLIENT_CLIENT_TEST_BASE_H
#define QUORVEX_TESTS_CLIENT_CLIENT_TEST_BASE_H

#include <gtest/gtest.h>

#include <memory>

#include "asr_fixture.h"
#include "loop_barrier.h"
#include "client/asr_client_impl.h"
#include "sdk/runtime.h"
#include "transport/wss_client.h"
#include "transport/wss_context.h"

namespace quorvex::test {

// An initialised library with a log collector; clients made here are
// destroyed and deleted at the end of the test.
class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        QUORVEX::QvAsrSdkLogParam param{};
        LogLines::install(param);
        QUORVEX::QvAsrSdkInitParam initParam{};
        ASSERT_EQ(QUORVEX::init(&param, &initParam), 0);
        LogLines::clear();
    }
    void TearDown() override {
        for (auto* client : clients_) {
            QUORVEX::destroyAsrInstance(client);
            delete client;
        }
        QUORVEX::release();
    }
    QUORVEX::QvAsrClient* make(RecordingListener& listener) {
        QUORVEX::QvAsrClient* client = QUORVEX::createAsrInstance();
        EXPECT_NE(client, nullptr);
        EXPECT_EQ(client->init(&listener), 0);
        clients_.push_back(client);
        return client;
    }
    static int stateOf(QUORVEX::QvAsrClient* client) {
        return static_cast<QUORVEX::QvAsrClientImpl*>(client)->currentState();
    }
    // The library's one loop, for loopBarrier().
    static CWSSContext* sharedLoop() { return QUORVEX::sharedClient->getContext(); }
    static int start(QUORVEX::QvAsrClient* client, const std::string& url, const std::string& token = "token-1") {
        QUORVEX::QvAsrStartParam param{url.c_str(), token.c_str()};
        return client->start(&param);
    }
    // Starts a session on a new client and returns the code of its start result.
    int startResult(const std::string& url) {
        RecordingListener& listener = listen();
        QUORVEX::QvAsrClient* client = make(listener);
        EXPECT_EQ(start(client, url), 0);
        EXPECT_TRUE(listener.waitFor("start")) << "onStartResult did not arrive for " << url;
        return listener.count("start") ? listener.heard("start")[0].code : 99;
    }
    // Starts a session and waits for its start result; the client is then in state 4.
    void startSession(QUORVEX::QvAsrClient* client, RecordingListener& listener, const std::string& url) {
        int before = listener.count("start");
        ASSERT_EQ(start(client, url), 0);
        ASSERT_TRUE(listener.waitFor("start", before + 1)) << "onStartResult did not arrive";
        ASSERT_EQ(listener.heard("start").back().code, 0);
        ASSERT_TRUE(loopBarrier(sharedLoop()));
    }

    // Listeners live as long as the fixture: the loop may still report to a
    // client after the test body's locals (its server, say) are gone.
    RecordingListener& listen() {
        listeners_.push_back(std::make_unique<RecordingListener>());
        return *listeners_.back();
    }

    std::vector<QUORVEX::QvAsrClient*> clients_;
    std::vector<std::unique_ptr<RecordingListener>> listeners_;
    RecordingListener sink_;
};

} // namespace quorvex::test

#endif
