// SPDX-License-Identifier: Apache-2.0
// Several quorvex-server instances behind Debian's haproxy with the shipped
// configuration: sessions spread by leastconn, a draining server finishes its
// sessions and gets no new ones, a killed server's clients hear it at once.
#include <signal.h>

#include "haproxy_fixture.h"

using namespace quorvex::test;

namespace {

class BehindHaproxy : public ::testing::Test {
protected:
    void SetUp() override {
        QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
        QUORVEX::QvAsrSdkInitParam params{};
        ASSERT_EQ(QUORVEX::init(&log, &params), 0);
        ASSERT_TRUE(first_.port() && second_.port());
        haproxy_ = std::make_unique<Haproxy>(std::vector<int>{first_.port(), second_.port()}, checkEvery());
        ASSERT_TRUE(haproxy_->running());
    }
    void TearDown() override {
        sessions_.clear();
        QUORVEX::release();
    }

    // Opens `count` sessions through haproxy, each streaming half a second.
    void open(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            sessions_.push_back(std::make_unique<EchoSession>(static_cast<unsigned>(sessions_.size()), &breaks_));
            ASSERT_TRUE(sessions_.back()->start(haproxy_->url()))
                << "session " << sessions_.size() << " did not start:\n"
                << sessions_.back()->heard() << haproxy_->output();
            sessions_.back()->send(25);
        }
    }
    long long brokenOff() {
        long long count = 0;
        for (auto& session : sessions_) count += session->brokeOff();
        return count;
    }
    virtual std::string checkEvery() const { return "100ms"; }
    long long open(ServerProcess& server) { return server.metric("quorvex_sessions_open"); }
    long long total(ServerProcess& server) { return server.metric("quorvex_sessions_total"); }

    ServerProcess first_, second_;
    std::unique_ptr<Haproxy> haproxy_;
    Signal breaks_; // told whenever one of sessions_ breaks off
    std::vector<std::unique_ptr<EchoSession>> sessions_;
};

} // namespace

TEST_F(BehindHaproxy, FortySessionsSpreadOverBothServersAndLoseNoByte) {
    for (int wave = 0; wave < 4; ++wave) {
        open(10);
        for (auto& session : sessions_) {
            session->send(25);
            EXPECT_TRUE(session->stopAndConfirm()) << session->heard();
        }
        sessions_.clear();
    }
    EXPECT_GT(total(first_), 0);
    EXPECT_GT(total(second_), 0);
    EXPECT_EQ(total(first_) + total(second_), 40);
}

TEST_F(BehindHaproxy, ADrainingServerFinishesItsSessionsAndGetsNoNewOnes) {
    open(6);
    long long onFirst = open(first_);
    ASSERT_GT(onFirst, 0) << "leastconn should have given the first server some of six sessions";
    ASSERT_EQ(onFirst + open(second_), 6);

    first_.process().signal(SIGTERM);
    ASSERT_TRUE(haproxy_->waitUntilDown("quorvex1"))
        << "haproxy did not take the draining server out (its /healthz should answer 503):\n"
        << haproxy_->output() << first_.process().output();
    long long before = total(second_);
    open(6);
    EXPECT_EQ(total(second_), before + 6) << "every new session goes to the server that is not draining";

    for (auto& session : sessions_) {
        session->send(25); // the draining server's sessions are still live
        EXPECT_TRUE(session->stopAndConfirm()) << session->heard() << first_.process().output();
    }
    EXPECT_EQ(first_.process().waitExit(std::chrono::seconds(15)), 0)
        << "a drained server exits once its sessions are done:\n" << first_.process().output();
}

TEST_F(BehindHaproxy, AKilledServersClientsHearAtOnceAndANewStartSucceeds) {
    open(6);
    long long onSecond = open(second_);
    ASSERT_GT(onSecond, 0);

    second_.process().signal(SIGKILL);
    ASSERT_TRUE(second_.process().waitExit());
    EXPECT_TRUE(breaks_.waitUntil([&] { return brokenOff() >= onSecond; }))
        << "each session on the killed server hears onSessionError promptly: " << brokenOff() << " of " << onSecond;
    EXPECT_EQ(brokenOff(), onSecond) << "and only those";

    for (auto& session : sessions_) {
        if (session->brokeOff()) continue;
        session->send(25);
        EXPECT_TRUE(session->stopAndConfirm()) << session->heard();
    }
    EchoSession fresh(99);
    ASSERT_TRUE(fresh.start(haproxy_->url())) << "a new session finds the surviving server:\n"
                                              << fresh.heard() << haproxy_->output();
    fresh.send(50);
    EXPECT_TRUE(fresh.stopAndConfirm()) << fresh.heard();
}

namespace {
// Health checks as slow as the shipped ones' order of magnitude: a draining
// server stays in rotation for a couple of seconds after the signal.
class RestartBehindHaproxy : public BehindHaproxy {
    std::string checkEvery() const override { return "1s"; }
};
} // namespace

TEST_F(RestartBehindHaproxy, SessionsStartingWhileOneServerDrainsAllSucceedAndRunningOnesFinish) {
    open(6);
    long long onFirst = open(first_);
    ASSERT_GT(onFirst, 0) << "leastconn should have given the first server some of six sessions";

    first_.process().signal(SIGTERM);
    ASSERT_TRUE(first_.process().waitForOutput("draining:")) << first_.process().output();
    // New sessions one after another until haproxy has taken the server out, and a few more.
    std::size_t afterDown = 0, started = 0;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
         afterDown < 5 && std::chrono::steady_clock::now() < until; ++started) {
        afterDown += haproxy_->isDown("quorvex1");
        EchoSession fresh(1000 + static_cast<unsigned>(started));
        ASSERT_TRUE(fresh.start(haproxy_->url()))
            << "session " << started << " after the signal did not start:\n" << fresh.heard() << haproxy_->output();
        fresh.send(10);
        EXPECT_TRUE(fresh.stopAndConfirm()) << fresh.heard();
    }
    ASSERT_EQ(afterDown, 5u) << "haproxy never took the draining server out:\n" << haproxy_->output();
    EXPECT_GT(first_.metric("quorvex_refusals_total{reason=\"draining\"}"), 0)
        << "no upgrade reached the draining server before haproxy took it out: the retry was not tried";

    for (auto& session : sessions_) {
        session->send(25);
        EXPECT_TRUE(session->stopAndConfirm()) << session->heard() << first_.process().output();
    }
    EXPECT_EQ(brokenOff(), 0);
    EXPECT_EQ(first_.process().waitExit(std::chrono::seconds(15)), 0)
        << "a drained server exits once its sessions are done:\n" << first_.process().output();
}
