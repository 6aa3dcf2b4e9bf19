// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "loop_barrier.h"
#include "lws_log.h"
#include "refusing_port.h"
#include "recording_client.h"
#include "transport/transport_control.h"

using namespace quorvex::test;

namespace {

void echo(TestServer& server) {
    server.onFrame([](Peer& peer, const Frame& frame) {
        if (frame.binary) peer.sendBinary(frame.data);
        else peer.sendText(frame.data);
    });
}

} // namespace

class Connection : public ::testing::Test {
protected:
    LoopOwner loop;
};

TEST_F(Connection, TextAndBinaryRoundTripWithCountersAndAddresses) {
    TestServer server;
    echo(server);
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo(server.url("/asr")));
    ASSERT_TRUE(client.waitEstablished()) << "onEstablished did not arrive";

    const unsigned char pcm[] = {0, 1, 2, 255, 0};
    client.writeText("{\"a\":1}", 7);
    client.writeBinary(pcm, sizeof pcm);
    client.writeText("", 0);
    ASSERT_TRUE(client.waitMessages(3)) << "echoes did not arrive";

    auto frames = server.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_FALSE(frames[0].binary);
    EXPECT_EQ(frames[0].data, "{\"a\":1}");
    EXPECT_TRUE(frames[1].binary);
    EXPECT_EQ(frames[1].data, std::string("\0\1\2\xff\0", 5));
    EXPECT_EQ(frames[2].data, "");

    auto received = client.read(client.received);
    EXPECT_EQ(received[0].data, "{\"a\":1}");
    EXPECT_TRUE(received[1].binary);
    EXPECT_EQ(received[1].data, frames[1].data);
    EXPECT_FALSE(received[2].binary);

    EXPECT_EQ(client.getSndPackets(), 3u);
    EXPECT_EQ(client.getSndBytes(), 12u);
    EXPECT_EQ(client.getRcvPackets(), 3u);
    EXPECT_EQ(client.getRcvBytes(), 12u);
    EXPECT_EQ(client.getPeerAddr(), "127.0.0.1");
    EXPECT_EQ(client.getPeerPort(), server.port());
    EXPECT_EQ(client.getLocalAddr(), "127.0.0.1");
    EXPECT_NE(client.getLocalPort(), 0);
    EXPECT_GT(client.getEstablishedTime(), 1600000000000ull);
    EXPECT_GE(client.getLastActiveTime(), client.getEstablishedTime());
    EXPECT_EQ(client.getSndQueueLen(), 0);
    EXPECT_EQ(client.read(client.offLoopEvents), 0);
}

TEST_F(Connection, LargeMessagesArriveWholeInBothDirections) {
    TestServer server;
    std::string big(1 << 20, 'x');
    for (std::size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>('a' + i % 26);
    server.onFrame([&big](Peer& peer, const Frame&) {
        peer.sendText(big);
        peer.sendFragmented(big, 10000);
    });
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo(server.url()));
    ASSERT_TRUE(client.waitEstablished());
    client.writeText(big.data(), static_cast<int>(big.size()));
    ASSERT_TRUE(server.waitForFrames(1));
    EXPECT_EQ(server.frames()[0].data, big);
    ASSERT_TRUE(client.waitMessages(2)) << "the large replies did not arrive";
    auto received = client.read(client.received);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].data, big);
    EXPECT_EQ(received[1].data, big);
}

TEST_F(Connection, FailedAttemptsReportOneConnectErrorAndAllowRetry) {
    RefusingPort refusing;
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo(refusing.url()));
    ASSERT_TRUE(client.waitFor([&] { return client.connectErrors == 1; })) << "onConnectErr did not arrive";

    TestServer refusingHandshake(TestServer::Options{false, true});
    ASSERT_TRUE(client.connectTo(refusingHandshake.url()));
    ASSERT_TRUE(client.waitFor([&] { return client.connectErrors == 2; })) << "handshake refusal not reported";

    ASSERT_TRUE(client.connectTo(unresolvableUrl()));
    ASSERT_TRUE(client.waitFor([&] { return client.connectErrors == 3; })) << "unknown host not reported";

    TestServer server;
    ASSERT_TRUE(client.connectTo(server.url()));
    ASSERT_TRUE(client.waitEstablished());
    EXPECT_EQ(client.read(client.connectErrors), 3);
    EXPECT_EQ(client.read(client.closes), 0);
}

TEST_F(Connection, ConnectRefusesBadUrlsAndBusyClients) {
    RecordingClient client(loop.context);
    for (const char* bad : {"", "http://127.0.0.1/", "ws://", "ws://h:99999/", "not a url"}) {
        EXPECT_FALSE(client.connectTo(bad)) << bad;
    }
    EXPECT_FALSE(client.connect(nullptr, "ws://127.0.0.1:1/", "", {}, 1));
    TestServer server;
    ASSERT_TRUE(client.connectTo(server.url()));
    EXPECT_FALSE(client.connectTo(server.url())) << "a second connect while one is open";
    ASSERT_TRUE(client.waitEstablished());
    ASSERT_TRUE(server.waitForOpened(1));
    ASSERT_TRUE(loopBarrier(loop.context));
    EXPECT_EQ(server.opened(), 1);
}

TEST_F(Connection, HostNamesAreResolvedOffTheLoop) {
    TestServer server;
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo("ws://localhost:" + std::to_string(server.port()) + "/"));
    ASSERT_TRUE(client.waitFor([&] { return client.established + client.connectErrors > 0; }));
    EXPECT_EQ(client.read(client.established), 1);
}

TEST_F(Connection, TlsToSelfSignedServerNeedsNoVerify) {
    TestServer server(TestServer::Options{true, false});
    echo(server);
    RecordingClient strict(loop.context);
    ASSERT_TRUE(strict.connectTo(server.url()));
    ASSERT_TRUE(strict.waitFor([&] { return strict.connectErrors == 1; })) << "self-signed certificate accepted";

    RecordingClient lenient(loop.context);
    lenient.setNoSSLVerify();
    ASSERT_TRUE(lenient.connectTo(server.url()));
    ASSERT_TRUE(lenient.waitEstablished()) << "wss handshake failed";
    lenient.writeText("secure", 6);
    ASSERT_TRUE(lenient.waitMessages(1));
    EXPECT_EQ(lenient.read(lenient.received)[0].data, "secure");
}

TEST_F(Connection, CloseFromLoopThreadGivesOneOnClose) {
    TestServer server;
    echo(server);
    RecordingClient client(loop.context);
    client.afterText = [&client](const std::string&) { client.close(); };
    ASSERT_TRUE(client.connectTo(server.url()));
    ASSERT_TRUE(client.waitEstablished());
    client.writeText("bye", 3);
    ASSERT_TRUE(client.waitFor([&] { return client.closes == 1; })) << "onClose did not arrive";
    ASSERT_TRUE(server.waitForClosed(1));
    clearLwsLog();
    client.close();
    EXPECT_TRUE(lwsLogContains("conn already closed \n"));
    ASSERT_TRUE(loopBarrier(loop.context));
    EXPECT_EQ(client.read(client.closes), 1);
}

TEST_F(Connection, CloseFromAnotherThreadGivesOneOnCloseAndReconnects) {
    TestServer server;
    RecordingClient client(loop.context);
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(client.connectTo(server.url()));
        ASSERT_TRUE(client.waitFor([&] { return client.established == round; }));
        std::thread closer([&client] {
            client.close();
            client.close(); // a second close while bound changes nothing
        });
        closer.join();
        ASSERT_TRUE(client.waitFor([&] { return client.closes == round; })) << "round " << round;
    }
    ASSERT_TRUE(server.waitForClosed(3));
    EXPECT_EQ(client.read(client.closes), 3);
    EXPECT_EQ(client.read(client.offLoopEvents), 0);
}

TEST_F(Connection, ServerDropAndServerCloseEachGiveOneOnClose) {
    TestServer server;
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo(server.url()));
    ASSERT_TRUE(client.waitEstablished());
    server.drop(1);
    ASSERT_TRUE(client.waitFor([&] { return client.closes == 1; })) << "drop not reported";

    ASSERT_TRUE(client.connectTo(server.url()));
    ASSERT_TRUE(client.waitFor([&] { return client.established == 2; }));
    server.send(2, "last words");
    server.closeClean(2);
    ASSERT_TRUE(client.waitFor([&] { return client.closes == 2; })) << "clean close not reported";
    ASSERT_EQ(client.read(client.received).size(), 1u);
    EXPECT_EQ(client.read(client.received)[0].data, "last words");
}

TEST_F(Connection, WritesWithoutAConnectionAreDroppedNotSentLater) {
    TestServer server;
    RecordingClient client(loop.context);
    client.writeText("stale", 5);
    client.writeText(nullptr, 4); // refused: no bytes behind a positive length
    client.writeBinary(nullptr, -1);
    ASSERT_TRUE(client.connectTo(server.url()));
    ASSERT_TRUE(client.waitEstablished());
    client.writeText("fresh", 5);
    ASSERT_TRUE(server.waitForFrames(1));
    EXPECT_EQ(server.frames()[0].data, "fresh");
    EXPECT_EQ(server.frames().size(), 1u);
}

TEST_F(Connection, DeletingAClientMidSessionStopsItsEventsAndClosesTheSocket) {
    TestServer server;
    auto client = std::make_unique<RecordingClient>(loop.context);
    ASSERT_TRUE(client->connectTo(server.url()));
    ASSERT_TRUE(client->waitEstablished());
    client.reset();
    ASSERT_TRUE(server.waitForClosed(1)) << "the server still holds the connection";
}

TEST_F(Connection, OversizedIncomingMessageClosesTheConnection) {
    TestServer server;
    RecordingClient client(loop.context);
    tagWSSLimits limits;
    limits.maxMessageBytes = 64 * 1024; // the default 64 MiB would cross loopback slowly under the sanitizers
    quorvex::transport::setConnLimits(client, limits);
    ASSERT_TRUE(client.connectTo(server.url()));
    ASSERT_TRUE(client.waitEstablished());
    clearLwsLog();
    server.sendBinary(1, std::string(limits.maxMessageBytes, 'k')); // exactly the limit: delivered
    ASSERT_TRUE(client.waitMessages(1)) << "a message of exactly the limit was refused";
    server.sendBinary(1, std::string(limits.maxMessageBytes + 1, 'x')); // one byte over the limit
    ASSERT_TRUE(client.waitFor([&] { return client.closes == 1; })) << "the connection stayed open";
    EXPECT_EQ(client.read(client.received).size(), 1u) << "nothing of the oversized message is delivered";
    EXPECT_TRUE(lwsLogContains("incoming message over"));
}

// What a connection's own open event writes leaves first: ahead of writes other
// threads made while it opened, and nothing written after a close leaves later.
TEST_F(Connection, EachConnectionBeginsWithWhatItsOpenEventWrites) {
    struct Greeter : RecordingClient {
        using RecordingClient::RecordingClient;
        Signal opening;
        bool inOpenEvent = false, otherThreadWrote = false;
        void onEstablished() override {
            opening.update([&] { inOpenEvent = true; });
            opening.waitUntil([&] { return otherThreadWrote; }); // deterministic: the other write comes first
            writeText("hello", 5);
            RecordingClient::onEstablished();
        }
    };
    TestServer server;
    Greeter client(loop.context);
    for (int connection = 1; connection <= 2; ++connection) {
        ASSERT_TRUE(client.connectTo(server.url()));
        ASSERT_TRUE(client.opening.waitUntil([&] { return client.inOpenEvent; })) << "connection " << connection;
        client.writeText("audio", 5);
        client.opening.update([&] { client.otherThreadWrote = true; });
        ASSERT_TRUE(server.waitForFrames(2 * connection)) << "connection " << connection;
        server.drop(connection);
        ASSERT_TRUE(client.waitFor([&] { return client.closes == connection; }));
        client.writeText("stale", 5); // after the close: never sent
        client.opening.update([&] { client.inOpenEvent = client.otherThreadWrote = false; });
    }
    for (int peer = 1; peer <= 2; ++peer) {
        auto frames = server.framesOf(peer);
        ASSERT_EQ(frames.size(), 2u) << "peer " << peer;
        EXPECT_EQ(frames[0].data, "hello") << "peer " << peer;
        EXPECT_EQ(frames[1].data, "audio") << "peer " << peer;
    }
}
