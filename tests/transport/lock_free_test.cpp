// SPDX-License-Identifier: Apache-2.0
// The hand-off's lock-free parts as units: a thread stopped at each point
// where it matters holds up nobody, and under load (ThreadSanitizer runs
// these too) every message arrives once, in each writer's order.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "transport/io/mpsc_queue.h"
#include "transport/io/send_queue.h"
#include "transport/loop/ready_stack.h"
#include "wait.h"

using namespace quorvex::transport;
using namespace quorvex::transport::detail;
using quorvex::test::kDeadline;
using quorvex::test::Signal;

namespace {

// Stops the one thread that armed it, the first time it passes.
class StopPoint {
public:
    void arm() { target_.store(std::this_thread::get_id()); }
    void pass() {
        auto self = std::this_thread::get_id();
        auto armed = target_.load();
        if (armed != self || !target_.compare_exchange_strong(armed, std::thread::id{})) return;
        signal_.update([&] { reached_ = true; });
        signal_.waitUntil([&] { return released_; }, std::chrono::milliseconds(30000));
    }
    bool waitReached() { return signal_.waitUntil([&] { return reached_; }); }
    void release() {
        signal_.update([&] { released_ = true; });
    }
    void reset() {
        signal_.update([&] { reached_ = released_ = false; });
    }

private:
    std::atomic<std::thread::id> target_{};
    Signal signal_;
    bool reached_ = false, released_ = false; // guarded by signal_
};

StopPoint& linkPoint() {
    static StopPoint point;
    return point;
}
StopPoint& takingPoint() {
    static StopPoint point;
    return point;
}
struct StoppingSeam {
    static void betweenExchangeAndLink() { linkPoint().pass(); }
    static void whileTaking() { takingPoint().pass(); }
};

struct Node {
    std::atomic<Node*> next{nullptr};
    int writer = 0;
    int sequence = 0;
};

// A call that must return without waiting for a stopped thread: run apart,
// given the deadline.
template <typename F>
bool returnsWhileStopped(F&& call) {
    auto done = std::async(std::launch::async, std::forward<F>(call));
    return done.wait_for(kDeadline) == std::future_status::ready;
}

} // namespace

// The one window of the queue: a producer that has taken its place but not
// linked it. Other producers' calls and the consumer's still return; the
// node it links from and what follows it wait for it, and nothing is lost
// or reordered.
TEST(LockFree, AProducerStoppedBetweenItsExchangeAndItsLinkHoldsUpNoCall) {
    linkPoint().reset();
    MpscQueue<Node, StoppingSeam> queue;
    std::vector<Node> nodes(102);
    nodes[0].writer = 0;
    queue.push(&nodes[0]);
    std::thread stopped([&] {
        linkPoint().arm();
        nodes[1].writer = 1;
        queue.push(&nodes[1]);
    });
    ASSERT_TRUE(linkPoint().waitReached()) << "the producer never reached its link";
    EXPECT_TRUE(returnsWhileStopped([&] {
        for (int i = 2; i < 102; ++i) {
            nodes[static_cast<std::size_t>(i)].writer = 2;
            nodes[static_cast<std::size_t>(i)].sequence = i;
            queue.push(&nodes[static_cast<std::size_t>(i)]);
        }
    })) << "another producer waited for the stopped one";
    // The node before the gap is the one the stopped producer will link
    // from: it cannot be handed out yet.
    EXPECT_EQ(queue.pop(), nullptr) << "the consumer went past a node not yet linked";
    linkPoint().release();
    stopped.join();
    for (std::size_t i = 0; i < nodes.size(); ++i) ASSERT_EQ(queue.pop(), &nodes[i]) << "node " << i;
    EXPECT_EQ(queue.pop(), nullptr);
}

// The loop stopped in the middle of taking, from the queue and from the list
// of connections to write: writers touch nothing it holds, and what they add
// meanwhile is taken next time.
TEST(LockFree, TheLoopStoppedWhileTakingHoldsUpNoWriter) {
    takingPoint().reset();
    MpscQueue<Node, StoppingSeam> queue;
    std::vector<Node> nodes(100);
    std::thread loop([&] {
        takingPoint().arm();
        EXPECT_EQ(queue.pop(), nullptr);
    });
    ASSERT_TRUE(takingPoint().waitReached()) << "the consumer never reached its take";
    EXPECT_TRUE(returnsWhileStopped([&] {
        for (auto& node : nodes) queue.push(&node);
    })) << "a producer waited for the stopped consumer";
    takingPoint().release();
    loop.join();
    for (auto& node : nodes) ASSERT_EQ(queue.pop(), &node);

    takingPoint().reset();
    ReadyStack<StoppingSeam> ready;
    std::vector<ReadyEntry> entries(3);
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i].conn = reinterpret_cast<CWSSConn*>(i + 1);
    ready.push(entries[0]);
    std::vector<CWSSConn*> taken;
    std::thread taker([&] {
        takingPoint().arm();
        ready.takeAll(taken);
    });
    ASSERT_TRUE(takingPoint().waitReached()) << "the loop never reached its take";
    bool listedAgain = true, listedOthers = false;
    EXPECT_TRUE(returnsWhileStopped([&] {
        listedAgain = ready.push(entries[0]); // taken, not yet unlisted: its flush is the one under way
        listedOthers = ready.push(entries[1]) && ready.push(entries[2]);
    })) << "a writer waited for the loop stopped in its take";
    takingPoint().release();
    taker.join();
    EXPECT_FALSE(listedAgain);
    EXPECT_TRUE(listedOthers);
    EXPECT_EQ(taken, std::vector<CWSSConn*>{entries[0].conn});
    taken.clear();
    ready.takeAll(taken);
    EXPECT_EQ(taken, (std::vector<CWSSConn*>{entries[1].conn, entries[2].conn})) << "not oldest first";
    EXPECT_TRUE(ready.push(entries[0])) << "a taken entry was never unlisted";
}

// Writers and the loop at full speed on one send queue, spare buffers passed
// back and forth: every message once, whole, in its writer's order.
TEST(LockFree, ManyWritersOneQueueEveryMessageOnceInEachWritersOrder) {
    constexpr int kWriters = 3, kEach = 20000;
    SendQueue queue(64u << 20);
    queue.reset(SendQueue::Gate::Open, 64u << 20);
    std::atomic<int> running{kWriters};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kEach; ++i) {
                int message[2] = {w, i};
                ASSERT_EQ(queue.push(reinterpret_cast<const unsigned char*>(message), sizeof message, true, false),
                          SendQueue::Push::Accepted);
            }
            running.fetch_sub(1);
        });
    }
    std::vector<int> next(kWriters, 0);
    int received = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (received < kWriters * kEach && std::chrono::steady_clock::now() < until) {
        OutMessage* message = queue.front();
        if (!message) {
            std::this_thread::yield();
            continue;
        }
        int content[2];
        ASSERT_EQ(message->payloadSize, sizeof content);
        std::memcpy(content, message->payload(), sizeof content);
        ASSERT_EQ(content[1], next[static_cast<std::size_t>(content[0])]++) << "writer " << content[0];
        std::memset(message->payload(), 0xAA, message->payloadSize); // as masking in place does
        queue.popFront();
        ++received;
    }
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(received, kWriters * kEach);
    EXPECT_EQ(queue.front(), nullptr);
    EXPECT_EQ(queue.bytes(), 0u);
}
