// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "loop_barrier.h"
#include "lws_log.h"
#include "recording_client.h"
#include "transport/transport_control.h"
#include "wire_peer.h"

using namespace quorvex::test;

// Destroying a context closes its connections, each onClose before the
// destroy returns; what a listener opens there is the process's, whatever
// descriptor table the teardown itself runs in.
TEST(ContextLifetime, DestroyingTheContextClosesItsConnections) {
    struct PipeOnClose : RecordingClient {
        using RecordingClient::RecordingClient;
        int ends[2] = {-1, -1};
        void onClose() override {
            if (pipe(ends) != 0) ends[0] = ends[1] = -1;
            RecordingClient::onClose();
        }
    };
    TestServer server;
    auto loop = std::make_unique<LoopOwner>();
    PipeOnClose open(loop->context);
    ASSERT_TRUE(open.connectTo(server.url()));
    ASSERT_TRUE(open.waitEstablished());
    loop->owner.destroyContext();
    EXPECT_EQ(open.read(open.closes), 1) << "onClose must come before destroyContext returns";
    ASSERT_GE(open.ends[0], 0) << "onClose could not open a pipe";
    char byte = 'q';
    EXPECT_EQ(write(open.ends[1], &byte, 1), 1) << "the pipe onClose opened is not in the process's table";
    EXPECT_EQ(read(open.ends[0], &byte, 1), 1);
    close(open.ends[0]);
    close(open.ends[1]);
    EXPECT_EQ(loop->owner.getContext(), nullptr);
    ASSERT_TRUE(server.waitForClosed(1));
}

// A peer that reads nothing more, while libwebsockets still holds output
// for it, does not keep the connection from closing at destroy as the
// others do: on the loop thread, before destroyContext returns.
TEST(ContextLifetime, AConnectionWhosePeerReadsNothingClosesLikeTheOthers) {
    WirePeer deaf(WirePeer::Mode::DeafAfterStart);
    auto loop = std::make_unique<LoopOwner>();
    RecordingClient client(loop->context);
    tagWSSLimits limits;
    limits.sendQueueBytes = 32u << 20;
    quorvex::transport::setConnLimits(client, limits);
    ASSERT_TRUE(client.connectTo(deaf.url()));
    ASSERT_TRUE(client.waitEstablished());
    client.writeText("start", 5);
    ASSERT_TRUE(deaf.waitStarted());
    std::vector<unsigned char> audio(24u << 20, 'a'); // more than loopback's buffers hold
    client.writeBinary(audio.data(), static_cast<int>(audio.size()));
    bool handedOver = false; // to libwebsockets, which keeps what the socket did not take
    for (int look = 0; look < 1000 && !handedOver; ++look)
        ASSERT_TRUE(runOnLoop(loop->context, [&] { handedOver = client.getSndBytes() >= 5 + audio.size(); }));
    ASSERT_TRUE(handedOver) << "the message never left the send queue";
    clearLwsLog();
    loop->owner.destroyContext();
    EXPECT_EQ(client.read(client.closes), 1) << "onClose must come before destroyContext returns";
    EXPECT_FALSE(lwsLogContains("connections still open at shutdown"));
}

// Every thread here runs a libwebsockets context of its own, each making and
// dropping connections at the same moment as the others: libwebsockets' count
// of the objects bound to each context's log must stay each thread's own.
TEST(ContextLifetime, ContextsOnSeveralThreadsOpenAndCloseConnectionsAtOnce) {
    constexpr int kLoops = 3, kClients = 150;
    TestServer server;
    std::vector<std::thread> threads;
    std::atomic<int> established{0}, failed{0};
    for (int l = 0; l < kLoops; ++l) {
        threads.emplace_back([&] {
            LoopOwner loop;
            for (int round = 0; round < 2; ++round) {
                std::vector<std::unique_ptr<RecordingClient>> clients;
                for (int c = 0; c < kClients; ++c) {
                    clients.push_back(std::make_unique<RecordingClient>(loop.context));
                    clients.back()->connectTo(server.url());
                }
                for (auto& client : clients) {
                    client->waitFor([&] { return client->established + client->connectErrors > 0; });
                    established += client->read(client->established);
                    failed += client->read(client->connectErrors);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    // A connection the server's accept queue drops now and then is beside the point.
    EXPECT_EQ(established.load() + failed.load(), kLoops * 2 * kClients) << "attempts never answered";
    EXPECT_GT(established.load(), kLoops * 2 * kClients * 9 / 10) << failed.load() << " connect errors";
}
