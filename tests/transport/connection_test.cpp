#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "loop_barrier.h"
#include "lws_log.h"
#include "refusing_port.h"
#include "wire_peer.h"
#include "recording_client.h"
#include "transport/detail/conn_control.h"

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

TEST_F(Connection, WritesFromSeveralThreadsKeepEachThreadsOrder) {
    TestServer server;
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo(server.url()));
    ASSERT_TRUE(client.waitEstablished());
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&client, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string text = std::to_string(t) + ":" + std::to_string(i);
                client.writeText(text.data(), static_cast<int>(text.size()));
            }
        });
    }
    for (auto& writer : writers) writer.join();
    ASSERT_TRUE(server.waitForFrames(kThreads * kEach)) << "only " << server.frames().size() << " messages arrived";
    std::map<int, int> next;
    for (const auto& frame : server.frames()) {
        int thread = std::stoi(frame.data.substr(0, frame.data.find(':')));
        int index = std::stoi(frame.data.substr(frame.data.find(':') + 1));
        ASSERT_EQ(index, next[thread]) << "thread " << thread << " out of order";
        ++next[thread];
    }
}

// An application thread writes to the socket itself while the loop waits,
// and libwebsockets answers pings on the loop thread: every frame must still
// arrive whole, in order, with nothing of one inside another.
TEST_F(Connection, WritesFromAnApplicationThreadAndAutomaticPongsNeverInterleave) {
    WirePeer wire(WirePeer::Mode::RecordingAndPinging);
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo(wire.url()));
    ASSERT_TRUE(client.waitEstablished());
    const std::uint64_t standInsBefore = quorvex::transport::detail::writesStoodIn(*loop.context);
    constexpr int kFrames = 400;
    auto payload = [](int i) { return std::string(i % 7 == 0 ? 9000 : 640, static_cast<char>('a' + i % 26)); };
    for (int i = 0; i < kFrames; ++i) {
        std::string bytes = payload(i);
        client.writeBinary(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
        // In bursts, so that the pings of one burst are answered while the next is written.
        if (i % 20 == 19) {
            ASSERT_TRUE(wire.waitFrames(static_cast<std::size_t>(i + 1))) << "frames stopped at " << i;
        }
    }
    quorvex::transport::detail::closeWhenSent(client, 1000, "");
    ASSERT_TRUE(wire.waitClose()) << "the close after the last frame did not arrive";

    int binary = 0, pongs = 0, lastPong = 0;
    for (const auto& frame : wire.frames()) {
        ASSERT_TRUE(frame.fin);
        if (frame.opcode == 2) {
            ASSERT_LT(binary, kFrames);
            ASSERT_EQ(frame.payload, payload(binary)) << "binary frame " << binary << " damaged or out of order";
            ++binary;
        } else if (frame.opcode == 10) {
            int answered = std::stoi(frame.payload);
            ASSERT_GT(answered, lastPong) << "a pong out of order";
            ASSERT_LE(answered, binary) << "a pong for a ping not yet sent";
            lastPong = answered;
            ++pongs;
        } else {
            ASSERT_EQ(frame.opcode, 8) << "a frame of opcode " << frame.opcode << " on the wire";
        }
    }
    EXPECT_EQ(binary, kFrames);
    EXPECT_GT(pongs, 0) << "no ping was answered: the test did not meet its case";
    EXPECT_GT(quorvex::transport::detail::writesStoodIn(*loop.context), standInsBefore)
        << "no write was made in the loop's place: the test did not meet its case";
}

// Threads that write without pause stand in for the loop again and again;
// what arrives on the loop (here on another connection) must still be
// delivered while they write.
TEST_F(Connection, WritersThatNeverPauseDoNotKeepTheLoopFromWhatArrives) {
    TestServer sink, echoing;
    echo(echoing);
    RecordingClient flooded(loop.context), listening(loop.context);
    ASSERT_TRUE(flooded.connectTo(sink.url()));
    ASSERT_TRUE(listening.connectTo(echoing.url()));
    ASSERT_TRUE(flooded.waitEstablished() && listening.waitEstablished());
    std::atomic<bool> done{false};
    std::atomic<std::size_t> writes{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) { // as many as there are cores here: the servers need their share too
        writers.emplace_back([&flooded, &done, &writes] {
            const unsigned char bytes[640] = {}; // audio-sized
            auto until = std::chrono::steady_clock::now() + kDeadline;
            while (!done && std::chrono::steady_clock::now() < until) {
                flooded.writeBinary(bytes, sizeof bytes);
                ++writes;
            }
        });
    }
    constexpr std::size_t kEchoes = 200;
    for (std::size_t i = 0; i < kEchoes; ++i) listening.writeText("e", 1);
    bool delivered = listening.waitMessages(kEchoes);
    done = true;
    for (auto& writer : writers) writer.join();
    EXPECT_TRUE(delivered) << "only " << listening.read(listening.received).size()
                           << " echoes delivered while two threads wrote on another connection";
    // (The flood may outgrow its send-queue cap and be cut: that bound is not what is tested here.)
    EXPECT_GT(writes.load(), kEchoes) << "the writers hardly wrote: the test did not meet its case";
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

    ASSERT_TRUE(client.connectTo("ws://no-such-host.invalid/"));
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

TEST(ContextLifetime, DestroyingTheContextClosesItsConnections) {
    TestServer server;
    auto loop = std::make_unique<LoopOwner>();
    RecordingClient open(loop->context);
    ASSERT_TRUE(open.connectTo(server.url()));
    ASSERT_TRUE(open.waitEstablished());
    loop->owner.destroyContext();
    EXPECT_EQ(open.read(open.closes), 1) << "onClose must come before destroyContext returns";
    EXPECT_EQ(loop->owner.getContext(), nullptr);
    ASSERT_TRUE(server.waitForClosed(1));
}

TEST_F(Connection, OversizedIncomingMessageClosesTheConnection) {
    TestServer server;
    RecordingClient client(loop.context);
    tagWSSLimits limits;
    limits.maxMessageBytes = 64 * 1024; // the default 64 MiB would cross loopback slowly under the sanitizers
    quorvex::transport::detail::setConnLimits(client, limits);
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
