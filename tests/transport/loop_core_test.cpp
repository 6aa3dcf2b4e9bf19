// SPDX-License-Identifier: Apache-2.0
// The loop core alone, with no timers and no connections: nothing but the
// mailbox ever wakes it, so a wake-up it loses is never made up for.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "transport/loop/loop_core.h"
#include "transport/wss_config.h"
#include "wait.h"

using namespace quorvex::test;
using quorvex::transport::detail::LoopCore;
using quorvex::transport::detail::LoopEvents;
using quorvex::transport::detail::LoopSettings;
using quorvex::transport::detail::Mailbox;

namespace {

class FlushRecorder final : public LoopEvents {
public:
    bool onContextCreated(const tagWSSvrConfig&, lws_context_creation_info&) override { return true; }
    void onStarted() override {}
    void onStopping() override {}
    void onContextGone() override {}
    void onFlushes(CWSSConn* const* first, std::size_t count) override {
        signal.update([&] {
            passes.push_back({flushed.size(), std::chrono::steady_clock::now()});
            flushed.insert(flushed.end(), first, first + count);
        });
    }
    int onLwsEvent(lws*, lws_callback_reasons, void*, void*, std::size_t) override { return 0; }

    bool waitFlushed(CWSSConn* conn, std::size_t times = 1) {
        return signal.waitUntil(
            [&] { return static_cast<std::size_t>(std::count(flushed.begin(), flushed.end(), conn)) >= times; });
    }

    // When the pass that wrote the n-th flush began.
    std::chrono::steady_clock::time_point passOf(std::size_t n) {
        std::chrono::steady_clock::time_point at{};
        signal.update([&] {
            for (auto& pass : passes)
                if (pass.first <= n) at = pass.second;
        });
        return at;
    }

    Signal signal;
    std::vector<CWSSConn*> flushed;
    std::vector<std::pair<std::size_t, std::chrono::steady_clock::time_point>> passes;
};

// Keeps the loop thread inside a command until released.
class HeldCommand {
public:
    LoopCore::Command command() {
        return [this] {
            signal_.update([&] { inside_ = true; });
            signal_.waitUntil([&] { return released_; });
        };
    }
    bool waitInside() { return signal_.waitUntil([&] { return inside_; }); }
    void release() { signal_.update([&] { released_ = true; }); }

private:
    Signal signal_;
    bool inside_ = false, released_ = false;
};

} // namespace

// A list longer than one pass is written over two; a writer listed while the
// first is under way spends its wake-up on the second, which goes on with
// the earlier list: it must still be written, with no one posting after it.
TEST(LoopCore, AWriterListedWhileALongListIsWrittenIsWrittenToo) {
    HeldCommand busy, taking; // outlive the core, whose loop may still be inside them
    FlushRecorder events;
    LoopCore core(nullptr, events);
    ASSERT_TRUE(core.start(tagWSSvrConfig{}, LoopSettings{}));
    std::vector<char> connections(LoopCore::kFlushSlice + 2); // addresses only: never looked into
    auto conn = [&](std::size_t i) { return reinterpret_cast<CWSSConn*>(&connections[i]); };
    std::unique_ptr<quorvex::transport::detail::ReadyEntry[]> entries(new quorvex::transport::detail::ReadyEntry[connections.size()]);
    for (std::size_t i = 0; i < connections.size(); ++i) entries[i].conn = conn(i);

    ASSERT_TRUE(core.post(busy.command()));
    ASSERT_TRUE(busy.waitInside()) << "the loop never ran the command that holds it";
    for (std::size_t i = 0; i <= LoopCore::kFlushSlice; ++i) ASSERT_TRUE(core.flushSoon(entries[i]));
    ASSERT_TRUE(core.post(taking.command())); // runs in the pass that takes the list, before its first slice
    busy.release();
    ASSERT_TRUE(taking.waitInside()) << "the pass that takes the list never came";
    CWSSConn* late = conn(LoopCore::kFlushSlice + 1);
    ASSERT_TRUE(core.flushSoon(entries[LoopCore::kFlushSlice + 1]));
    taking.release();

    EXPECT_TRUE(events.waitFlushed(conn(LoopCore::kFlushSlice))) << "the long list's second slice was not written";
    EXPECT_TRUE(events.waitFlushed(late)) << "the writer listed during the long list was never written";
    core.stop();
}

// A saturated loop spaces its long rounds of the list so that frames gather
// (here it is held busy for two windows of its load). The next round must
// still come on its own, with no one listing or posting after it, also when
// the watch that brings it back ends meanwhile.
TEST(LoopCore, ARoundAfterABusyOneWaitsAndStillComesOnItsOwn) {
    for (std::uint64_t idleMs : {std::uint64_t{60'000}, std::uint64_t{2}}) {
        HeldCommand busy;
        FlushRecorder events;
        LoopSettings settings;
        settings.watchIdleMs = idleMs;
        LoopCore core(nullptr, events);
        ASSERT_TRUE(core.start(tagWSSvrConfig{}, settings));
        std::vector<char> connections(LoopCore::kFlushSlice + 1);
        auto conn = [&](std::size_t i) { return reinterpret_cast<CWSSConn*>(&connections[i]); };
        std::unique_ptr<quorvex::transport::detail::ReadyEntry[]> entries(
            new quorvex::transport::detail::ReadyEntry[connections.size()]);
        auto listAll = [&] {
            for (std::size_t i = 0; i < connections.size(); ++i) ASSERT_TRUE(core.flushSoon(entries[i]));
        };
        for (std::size_t i = 0; i < connections.size(); ++i) entries[i].conn = conn(i);

        ASSERT_TRUE(core.post(busy.command()));
        ASSERT_TRUE(busy.waitInside()) << "the loop never ran the command that holds it";
        listAll(); // one round of more than a slice
        auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * LoopCore::kLoadWindowMs);
        while (std::chrono::steady_clock::now() < due) std::this_thread::yield();
        busy.release();
        ASSERT_TRUE(events.waitFlushed(conn(LoopCore::kFlushSlice))) << "idle " << idleMs << ": the busy round";
        listAll();
        for (std::size_t i = 0; i < connections.size(); ++i)
            ASSERT_TRUE(events.waitFlushed(conn(i), 2)) << "idle " << idleMs << ": the next round never came";
        if (idleMs > LoopCore::kBusyRoundMs) { // else the watch may end, and the wait with it
            auto gap = events.passOf(connections.size()) - events.passOf(0);
            EXPECT_GE(gap, std::chrono::milliseconds(LoopCore::kBusyRoundMs / 2))
                << "the round after a busy one did not wait";
        }
        core.stop();
    }
}

// While writers list, the loop watches its list and they make no wake-up;
// it stops watching once they pause. A writer that lists at that very moment
// must still be written: nothing but the mailbox wakes this loop.
TEST(LoopCore, AWriterListedAsTheWatchEndsIsWrittenToo) {
    char connection = 0;
    auto* conn = reinterpret_cast<CWSSConn*>(&connection);
    quorvex::transport::detail::ReadyEntry entry;
    entry.conn = conn;
    auto watchingIs = [](LoopCore& core, bool on) {
        auto until = std::chrono::steady_clock::now() + kDeadline;
        while (core.watchingList() != on) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::yield();
        }
        return true;
    };
    LoopSettings settings;
    {
        FlushRecorder events;
        settings.watchIdleMs = 60'000;
        LoopCore core(nullptr, events);
        ASSERT_TRUE(core.start(tagWSSvrConfig{}, settings));
        ASSERT_TRUE(core.flushSoon(entry));
        ASSERT_TRUE(events.waitFlushed(conn));
        EXPECT_TRUE(core.watchingList()) << "the loop did not watch after a listing";
        core.stop(); // its wake-up ends a watching loop
    }
    FlushRecorder events;
    settings.watchIdleMs = 2;
    LoopCore core(nullptr, events);
    ASSERT_TRUE(core.start(tagWSSvrConfig{}, settings));
    for (std::size_t round = 1; round <= 200; ++round) {
        ASSERT_TRUE(core.flushSoon(entry));
        ASSERT_TRUE(events.waitFlushed(conn, round)) << "round " << round << ": the listing was never written";
        ASSERT_TRUE(watchingIs(core, false)) << "round " << round << ": the watch never ended";
    }
    core.stop();
}

// A watching loop's tick may find a write whose connect is still posted:
// the write must wait for the command, as it does on a wake-up.
TEST(LoopCore, AWatchingLoopRunsAConnectBeforeTheWriteListedAfterIt) {
    class ConnectFirst final : public LoopEvents {
    public:
        bool onContextCreated(const tagWSSvrConfig&, lws_context_creation_info&) override { return true; }
        void onStarted() override {}
        void onStopping() override {}
        void onContextGone() override {}
        void onFlushes(CWSSConn* const*, std::size_t count) override {
            signal.update([&] {
                if (count > 0 && connected != flushed + 1) early = true;
                flushed += count;
            });
        }
        int onLwsEvent(lws*, lws_callback_reasons, void*, void*, std::size_t) override { return 0; }
        Signal signal;
        int connected = 0, flushed = 0;
        bool early = false;
    } events;
    LoopSettings settings;
    settings.watchIdleMs = 60'000;
    LoopCore core(nullptr, events);
    ASSERT_TRUE(core.start(tagWSSvrConfig{}, settings));
    char connection = 0;
    quorvex::transport::detail::ReadyEntry entry;
    entry.conn = reinterpret_cast<CWSSConn*>(&connection);
    for (int round = 1; round <= 20; ++round) {
        HeldCommand busy;
        ASSERT_TRUE(core.post(busy.command()));
        ASSERT_TRUE(busy.waitInside()) << "round " << round << ": the loop never ran the command that holds it";
        ASSERT_TRUE(core.post([&] { events.signal.update([&] { ++events.connected; }); }));
        ASSERT_TRUE(core.flushSoon(entry));
        // The watch's tick falls due while the loop is held: libuv runs it
        // before it polls for the connect's wake-up.
        auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * Mailbox::kWatchTickMs);
        while (std::chrono::steady_clock::now() < due) std::this_thread::yield();
        busy.release();
        ASSERT_TRUE(events.signal.waitUntil([&] { return events.flushed == round; })) << "round " << round;
        ASSERT_FALSE(events.early) << "round " << round << ": a write left before the connect posted ahead of it";
        ASSERT_TRUE(core.watchingList()) << "round " << round << ": the loop does not watch";
    }
    core.stop();
}

// Writers list their connections while the loop stops: once it has stopped
// and every writer has returned, no entry may stay listed, or its
// connection would never be written again on a later loop.
TEST(LoopCore, NoEntryStaysListedWhenTheLoopStopsUnderItsWriters) {
    class Ignore final : public LoopEvents {
        bool onContextCreated(const tagWSSvrConfig&, lws_context_creation_info&) override { return true; }
        void onStarted() override {}
        void onStopping() override {}
        void onContextGone() override {}
        void onFlushes(CWSSConn* const*, std::size_t) override {}
        int onLwsEvent(lws*, lws_callback_reasons, void*, void*, std::size_t) override { return 0; }
    } events;
    constexpr int kWriters = 3;
    quorvex::transport::detail::ReadyEntry entries[kWriters];
    for (int round = 0; round < 40; ++round) {
        LoopCore core(nullptr, events);
        ASSERT_TRUE(core.start(tagWSSvrConfig{}, LoopSettings{}));
        std::vector<std::thread> writers;
        for (auto& entry : entries)
            writers.emplace_back([&core, &entry] {
                while (core.flushSoon(entry)) {
                }
            });
        core.stop();
        for (auto& writer : writers) writer.join();
        for (auto& entry : entries) ASSERT_FALSE(entry.listed.load()) << "an entry stayed listed in round " << round;
    }
}
