// SPDX-License-Identifier: Apache-2.0
// Writes from application threads: each thread's order, the wire shared
// with libwebsockets' own frames, and the loop's turn while they write.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <future>
#include <thread>
#include <vector>

#include "loop_barrier.h"
#include "hand_off_pause.h"
#include "recording_client.h"
#include "transport/transport_control.h"
#include "transport/io/send_queue.h"
#include "transport/loop/loop_core.h"
#include "wire_peer.h"

using namespace quorvex::test;

class Writers : public ::testing::Test {
protected:
    LoopOwner loop;
};

TEST_F(Writers, WritesFromSeveralThreadsKeepEachThreadsOrder) {
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

// An application thread hands frames off while libwebsockets answers pings
// on the loop thread: every frame must still arrive whole, in order, with
// nothing of one inside another.
TEST_F(Writers, WritesFromAnApplicationThreadAndAutomaticPongsNeverInterleave) {
    WirePeer wire(WirePeer::Mode::RecordingAndPinging);
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo(wire.url()));
    ASSERT_TRUE(client.waitEstablished());
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
    quorvex::transport::close(client, quorvex::transport::Closing::AfterSending);
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
}

// Threads that write without pause stand in for the loop again and again;
// what arrives on the loop (here on another connection) must still be
// delivered while they write.
TEST_F(Writers, WritersThatNeverPauseDoNotKeepTheLoopFromWhatArrives) {
    TestServer sink, echoing;
    echoing.onFrame([](Peer& peer, const Frame& frame) { peer.sendText(frame.data); });
    RecordingClient flooded(loop.context), listening(loop.context);
    ASSERT_TRUE(flooded.connectTo(sink.url()));
    ASSERT_TRUE(listening.connectTo(echoing.url()));
    ASSERT_TRUE(flooded.waitEstablished() && listening.waitEstablished());
    std::atomic<bool> done{false};
    Signal flowing; // the writers report once they are well under way
    int writing = 0;
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) { // as many as there are cores here: the servers need their share too
        writers.emplace_back([&] {
            const unsigned char bytes[640] = {}; // audio-sized
            auto until = std::chrono::steady_clock::now() + kDeadline;
            for (int written = 1; !done && std::chrono::steady_clock::now() < until; ++written) {
                flooded.writeBinary(bytes, sizeof bytes);
                if (written == 100) flowing.update([&] { ++writing; });
            }
        });
    }
    constexpr std::size_t kEchoes = 200;
    bool underWay = flowing.waitUntil([&] { return writing == 2; });
    for (std::size_t i = 0; i < kEchoes && underWay; ++i) listening.writeText("e", 1);
    bool delivered = underWay && listening.waitMessages(kEchoes);
    done = true;
    for (auto& writer : writers) writer.join();
    ASSERT_TRUE(underWay) << "the writers did not get under way: the test did not meet its case";
    EXPECT_TRUE(delivered) << "only " << listening.read(listening.received).size()
                           << " echoes delivered while two threads wrote on another connection";
    // (The flood may outgrow its send-queue cap and be cut: that bound is not what is tested here.)
}

// A thread that connects and writes at once: its writes must not overtake
// the connect it posted, nor be left behind by it.
TEST_F(Writers, WritesRightAfterAConnectAllLeave) {
    TestServer server;
    for (int round = 0; round < 300; ++round) {
        RecordingClient client(loop.context);
        ASSERT_TRUE(client.connectTo(server.url()));
        client.writeText("early", 5);
        ASSERT_TRUE(client.waitEstablished()) << "round " << round;
        client.writeText("late", 4);
        ASSERT_TRUE(server.waitForFrames(static_cast<std::size_t>(2 * (round + 1))))
            << "round " << round << ": only " << server.frames().size() << " messages arrived";
        client.close();
        ASSERT_TRUE(client.waitFor([&] { return client.closes > 0; })) << "round " << round;
    }
}

// Nothing the loop needs is held by a thread stopped mid-hand-off (a writer
// descheduled, throttled or stopped in a debugger): other connections'
// messages flow on while it stays stopped, and its own message leaves whole
// once it goes on.
TEST_F(Writers, AWriterStoppedInItsHandOffHoldsUpNoOtherConnection) {
    TestServer sink, echoing;
    echoing.onFrame([](Peer& peer, const Frame& frame) { peer.sendText(frame.data); });
    RecordingClient stalled(loop.context), listening(loop.context);
    ASSERT_TRUE(stalled.connectTo(sink.url()));
    ASSERT_TRUE(listening.connectTo(echoing.url()));
    ASSERT_TRUE(stalled.waitEstablished() && listening.waitEstablished());
    HandOffPause pause(stalled, "after the pause", false);
    bool stopped = pause.waitPaused();
    constexpr std::size_t kEchoes = 100;
    for (std::size_t i = 0; i < kEchoes && stopped; ++i) listening.writeText("e", 1);
    bool delivered = stopped && listening.waitMessages(kEchoes);
    bool stillStopped = pause.release();
    ASSERT_TRUE(stopped) << "the writer never reached its hand-off";
    EXPECT_TRUE(delivered && stillStopped) << "only " << listening.read(listening.received).size() << " of "
                                           << kEchoes << " echoes arrived while a writer was stopped mid-hand-off";
    ASSERT_TRUE(sink.waitForFrames(1)) << "the stopped writer's message never left";
    EXPECT_EQ(sink.frames().front().data, "after the pause");
}

// The loop stopped inside the writer's own connection's event, with that
// connection's queue and listing in whatever state they were: the writer
// hands off message after message and never waits for it.
TEST_F(Writers, AWriterNeverWaitsForTheLoopStoppedInsideItsConnection) {
    TestServer server;
    server.onFrame([](Peer& peer, const Frame& frame) {
        if (frame.data == "stop") peer.sendText("stopped");
    });
    RecordingClient client(loop.context);
    Signal inside;
    bool stopped = false, released = false; // guarded by inside
    client.afterText = [&](const std::string&) {
        inside.update([&] { stopped = true; });
        inside.waitUntil([&] { return released; }, std::chrono::milliseconds(30000));
    };
    ASSERT_TRUE(client.connectTo(server.url()));
    ASSERT_TRUE(client.waitEstablished());
    client.writeText("stop", 4);
    ASSERT_TRUE(inside.waitUntil([&] { return stopped; })) << "the loop never entered the connection's event";
    constexpr std::size_t kWrites = 2000;
    auto writing = std::async(std::launch::async, [&] {
        const std::string message(100, 'w');
        for (std::size_t i = 0; i < kWrites; ++i) client.writeText(message.data(), static_cast<int>(message.size()));
    });
    bool wrote = writing.wait_for(kDeadline) == std::future_status::ready;
    inside.update([&] { released = true; });
    writing.wait();
    EXPECT_TRUE(wrote) << "the writer waited for the stopped loop";
    EXPECT_TRUE(server.waitForFrames(kWrites + 1))
        << "only " << server.frames().size() << " of " << kWrites + 1 << " messages arrived";
}

// Many writers listed while the loop was busy elsewhere: the loop writes them
// a slice per pass, and what a pass leaves is written on the next ones.
TEST_F(Writers, AListLongerThanOnePassIsWrittenWhole) {
    constexpr std::size_t kWriters = 5 * quorvex::transport::detail::LoopCore::kFlushSlice;
    TestServer server;
    std::vector<std::unique_ptr<RecordingClient>> clients;
    for (std::size_t i = 0; i < kWriters; ++i) {
        clients.push_back(std::make_unique<RecordingClient>(loop.context));
        ASSERT_TRUE(clients.back()->connectTo(server.url()));
    }
    for (auto& client : clients) ASSERT_TRUE(client->waitEstablished());
    LoopHold hold(loop.context);
    for (auto& client : clients) client->writeText("w", 1);
    hold.release();
    ASSERT_TRUE(hold.held()) << "the loop never ran the timer that holds it";
    EXPECT_TRUE(server.waitForFrames(kWriters))
        << "only " << server.frames().size() << " of " << kWriters << " listed writers' messages arrived";
}
