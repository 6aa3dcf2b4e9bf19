// SPDX-License-Identifier: Apache-2.0
// quorvex-server against clients that hold connections, use the wrong paths
// or bodies, and against being stopped; its command line as a user runs it.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <thread>

#include "hostile_fixture.h"
#include "server_process.h"

using namespace quorvex::test;
using namespace quorvex::server;

namespace {

std::string get(int port, const std::string& path) {
    return httpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

// A client streaming in real time (a 20 ms frame every 20 ms) until told to stop.
class Speaker {
public:
    explicit Speaker(EchoSession& session)
        : thread_([this, &session] {
              for (int frame = 0; talking_ && frame < 1500; ++frame) {
                  session.sendAudio(640);
                  std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the client's pace, not a wait
              }
          }) {}
    ~Speaker() { quiet(); }
    void quiet() {
        talking_ = false;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> talking_{true};
    std::thread thread_;
};

} // namespace

TEST_F(HostileClients, SilentConnectionsAndSessionsAreClosedOnTheirDeadlines) {
    auto engine = std::make_shared<GatedEngine>();
    ServerOptions options;
    options.startTimeoutMs = 300;
    options.idleTimeoutMs = 800;
    options.workers = 2;
    serve(options, engine);
    EchoSession stopped(port()); // stopped, its results held back: waiting for them is not idling
    ASSERT_TRUE(stopped.start());
    stopped.sendAudio(640);
    stopped.peer().sendStop();
    EchoSession good(port());
    ASSERT_TRUE(good.start());
    Speaker speaker(good);

    WsPeer mute, quiet;
    ASSERT_EQ(mute.open(port()), 101);
    ASSERT_EQ(quiet.open(port()), 101);
    quiet.sendStart();
    ASSERT_TRUE(hasCode(quiet.textWith("START_SESSION_RES"), kOk));
    std::string noStart = mute.textWith("EXCEPTION_NTF");
    EXPECT_TRUE(hasCode(noStart, kTimedOut)) << noStart;
    EXPECT_NE(noStart.find("no START_SESSION_REQ within 300 ms"), std::string::npos) << noStart;
    EXPECT_NE(mute.closeCode(), 0);
    std::string silent = quiet.textWith("EXCEPTION_NTF");
    EXPECT_TRUE(hasCode(silent, kTimedOut)) << silent;
    EXPECT_NE(quiet.closeCode(), 0);
    EXPECT_TRUE(eventually([&] {
        return metrics().closeCount(CloseReason::StartTimeout) == 1 && metrics().closeCount(CloseReason::IdleTimeout) == 1;
    }));
    speaker.quiet();
    EXPECT_TRUE(good.finish()) << "a session that keeps talking is never idle";
    engine->openGate();
    EXPECT_FALSE(stopped.peer().textWith("STOP_SESSION_RES").empty()) << "a stopped session lost its results";
}

namespace {

// Audio before START, 8 bytes a frame, each answered with some 120 bytes
// that the peer never reads: more than the kernel holds (4 MiB at most).
void floodUnread(WsPeer& peer) {
    std::string flood;
    for (int i = 0; i < 60000; ++i) flood += std::string("\x82\x82\x01\x02\x03\x04\x01\x02", 8);
    peer.sendRaw(flood);
}

} // namespace

TEST_F(HostileClients, APeerThatNeverReadsIsCutOffByItsSendQueueOrTheCloseGrace) {
    ServerOptions options;
    options.maxSendQueueBytes = 256 * 1024;
    serve(options);
    EchoSession good(port());
    ASSERT_TRUE(good.start());
    good.sendAudio(12800);
    {
        WsPeer stuck;
        stuck.receiveBuffer = 4096;
        ASSERT_EQ(stuck.open(port()), 101);
        floodUnread(stuck);
        EXPECT_TRUE(metrics().waitUntil([&] { return metrics().closeCount(CloseReason::NotReading) == 1; },
                                        std::chrono::seconds(20)))
            << "the send queue grew past its cap: " << getMetrics();
    }
    good.sendAudio(12800);
    EXPECT_TRUE(good.finish());

    // With room in the queue, the answers wait in the kernel; the close frame
    // never leaves, and the close grace ends it.
    options.maxSendQueueBytes = 64u << 20;
    options.closeGraceMs = 300;
    options.maxMessageBytes = 1024;
    serve(options);
    EchoSession other(port());
    ASSERT_TRUE(other.start());
    WsPeer stuck;
    stuck.receiveBuffer = 4096;
    ASSERT_EQ(stuck.open(port()), 101);
    floodUnread(stuck);
    stuck.sendText(std::string(2000, ' ')); // over the limit: the server hangs up
    EXPECT_TRUE(metrics().waitUntil(
        [&] { return metrics().closeCount(CloseReason::CloseTimeout) == 1 && metrics().connectionsOpen == 1; },
        std::chrono::seconds(20)))
        << "the connection that never read is still open: " << getMetrics();
    other.sendAudio(12800);
    EXPECT_TRUE(other.finish());
}

TEST_F(HostileClients, DeadPeersAreFoundByPings) {
    ServerOptions options;
    options.pingAfterSeconds = 1;
    options.hangUpAfterSeconds = 2;
    options.startTimeoutMs = 60000; // only the pings may find it
    serve(options);
    WsPeer alive, dead;
    ASSERT_EQ(alive.open(port()), 101);
    ASSERT_EQ(dead.open(port()), 101);
    EXPECT_EQ(alive.next(std::chrono::milliseconds(3500)).kind, WsEvent::Timeout)
        << "a peer that answers pings keeps its connection";
    EXPECT_TRUE(eventually([&] { return metrics().connectionsOpen == 1; })) << "the silent peer was never dropped";
    EXPECT_NE(dead.closeCode(), 0);
    EXPECT_EQ(metrics().closeCount(CloseReason::PeerSilent), 1) << "counted by its reason, not as the peer's close";
    EXPECT_EQ(metrics().closeCount(CloseReason::Peer), 0);
}

TEST_F(HostileClients, OnlyTheSessionPathUpgradesAndRequestBodiesAreCapped) {
    ServerOptions options;
    options.maxPostBytes = 1024;
    options.maxSessions = 7;
    serve(options);
    EchoSession good(port());
    ASSERT_TRUE(good.start());
    good.sendAudio(6400);

    WsPeer elsewhere;
    EXPECT_EQ(elsewhere.open(port(), "/anything"), 404);
    WsPeer onStatus;
    EXPECT_EQ(onStatus.open(port(), "/healthz"), 404) << "WebSockets only on the session path";
    EXPECT_EQ(metrics().refusalCount(Refusal::WrongPath), 2);
    std::string small = httpExchange(port(), "POST /healthz HTTP/1.1\r\nHost: x\r\nContent-Length: 4096\r\n\r\n" +
                                                 std::string(4096, 'b'));
    EXPECT_EQ(httpStatus(small), 413) << small;

    WsPeer flood; // a body that never ends: dropped while it arrives
    ASSERT_TRUE(flood.connectTcp(port()));
    constexpr std::size_t kBody = 256u << 20;
    flood.sendRaw("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n");
    std::string chunk(1 << 20, 'c');
    std::size_t sent = 0;
    char answer[64];
    for (; sent < kBody; sent += chunk.size()) {
        if (::send(flood.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(chunk.size())) break;
        if (::recv(flood.fd(), answer, sizeof answer, MSG_DONTWAIT) == 0) break; // hung up: the rest is discarded
    }
    EXPECT_LT(sent, kBody) << "the whole body was taken in";
    EXPECT_EQ(metrics().refusalCount(Refusal::PostTooLarge), 2);

    EXPECT_EQ(httpStatus(get(port(), "/healthz")), 200);
    std::string head = httpExchange(port(), "HEAD /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(httpStatus(head), 200) << "HEAD works where GET does";
    EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "") << "a HEAD answer has no body";
    EXPECT_NE(head.find("content-length: 3"), std::string::npos) << head;
    WsPeer keptAlive; // an error answer to HEAD has no body either: the next response reads clean
    ASSERT_TRUE(keptAlive.connectTcp(port()));
    keptAlive.sendRaw("HEAD /nowhere HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string headers = readRaw(keptAlive.fd(), [](const std::string& in) { return in.find("\r\n\r\n") != std::string::npos; });
    EXPECT_EQ(httpStatus(headers), 404) << headers;
    EXPECT_EQ(headers.substr(headers.find("\r\n\r\n") + 4), "") << "HEAD got a body";
    keptAlive.sendRaw("GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    std::string next = readRaw(keptAlive.fd(), [](const std::string&) { return false; });
    EXPECT_EQ(next.rfind("HTTP/1.1 200", 0), 0u) << next;
    std::string text = get(port(), "/metrics");
    EXPECT_NE(text.find("quorvex_limit{name=\"max_sessions\"} 7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("quorvex_refusals_total{reason=\"post_too_large\"} 2\n"), std::string::npos) << text;
    good.sendAudio(6400);
    EXPECT_TRUE(good.finish());
}

TEST_F(HostileClients, ShutdownLetsSessionsFinishThenClosesTheRest) {
    ServerOptions options;
    options.drainTimeoutMs = 3000;
    serve(options);
    EchoSession finishing(port(), 1), held(port(), 2);
    ASSERT_TRUE(finishing.start());
    ASSERT_TRUE(held.start());
    finishing.sendAudio(40000);
    held.sendAudio(6400);
    WsPeer waiting;
    ASSERT_EQ(waiting.open(port()), 101);

    std::atomic<bool> allFinished{true};
    std::thread stopper([&] { allFinished = server_->shutdown(); });
    ASSERT_TRUE(eventually([&] { return server_->draining(); }));
    EXPECT_EQ(httpStatus(get(port(), "/healthz")), 503) << "a load balancer must see the drain at once";
    EXPECT_TRUE(hasCode(waiting.textWith("EXCEPTION_NTF"), kBusy)) << "a connection without a session goes at once";
    EXPECT_EQ(waiting.closeCode(), 1001) << "going away";
    WsPeer late;
    EXPECT_EQ(late.open(port()), 503) << "no new sessions while draining, and a proxy may retry elsewhere";
    EXPECT_NE(late.handshake().find("\r\nretry-after: 5\r\n"), std::string::npos) << late.handshake();

    finishing.sendAudio(40000);
    EXPECT_TRUE(finishing.finish()) << "a live session may finish within the drain deadline";
    EXPECT_NE(finishing.peer().closeCode(), 0) << "a finished session's connection is closed at the deadline";
    std::string cut = held.peer().textWith("EXCEPTION_NTF", std::chrono::seconds(10));
    EXPECT_TRUE(hasCode(cut, kBusy)) << cut;
    EXPECT_NE(held.peer().closeCode(), 0);
    stopper.join();
    EXPECT_FALSE(allFinished) << "one session was still running at the deadline";
    EXPECT_EQ(metrics().closeCount(CloseReason::Shutdown), 3);
}

TEST(ServerCommandLine, MalformedOrOutOfRangeValuesExitWithCodeTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {"--port", "abc"},           {"--port", "99999"},       {"--workers", "-1"}, {"--workers", "0"},
        {"--max-backlog", "0"},      {"--idle-timeout", "1e3"}, {"--engine", "x"},   {"--port"},
        {"--max-sessions", "2x"},    {"--no-such-option"},      {"--help=1"},        {"--ping-after", "30"},
    };
    for (const auto& arguments : bad) {
        ServerProcess server(arguments);
        EXPECT_EQ(server.exitCode(), 2) << arguments[0] << " " << (arguments.size() > 1 ? arguments[1] : "");
        std::string option = arguments[0].substr(0, arguments[0].find('='));
        EXPECT_NE(server.output().find(option), std::string::npos) << "the message names the option: "
                                                                          << server.output();
    }
    ServerProcess help({"--help"});
    EXPECT_EQ(help.exitCode(), 0);
    for (const char* option : {"--port", "--max-sessions", "--max-backlog", "--drain-timeout", "--recogniser-idle"})
        EXPECT_NE(help.output().find(option), std::string::npos) << option;
    ServerProcess version({"--version"});
    EXPECT_EQ(version.exitCode(), 0);
    EXPECT_NE(version.output().find("quorvex-server 1."), std::string::npos);
}

TEST(ServerSignals, SigtermDrainsAndASecondSignalExitsAtOnce) {
    ServerProcess server({"--engine", "echo", "--port", "0", "--drain-timeout", "60"});
    int port = server.port();
    ASSERT_NE(port, 0) << server.output();
    EchoSession held(port);
    ASSERT_TRUE(held.start());
    held.sendAudio(6400);
    server.signal(SIGTERM);
    ASSERT_TRUE(server.waitForOutput("draining:")) << server.output();
    EXPECT_EQ(httpStatus(get(port, "/healthz")), 503);
    server.signal(SIGINT);
    EXPECT_EQ(server.exitCode(), 1) << "the second signal did not end the drain: " << server.output();
    EXPECT_NE(server.output().find("exiting now"), std::string::npos);

    ServerProcess idle({"--engine", "echo", "--port", "0"});
    ASSERT_NE(idle.port(), 0);
    idle.signal(SIGTERM);
    EXPECT_EQ(idle.exitCode(), 0);
    EXPECT_NE(idle.output().find("Terminated, stopping"), std::string::npos) << idle.output();
    EXPECT_NE(idle.output().find("stopped"), std::string::npos) << "the last line was lost: " << idle.output();
}

TEST(ServerSignals, SighupDrainsLikeSigterm) {
    ServerProcess server({"--engine", "echo", "--port", "0", "--drain-timeout", "60"});
    int port = server.port();
    ASSERT_NE(port, 0) << server.output();
    EchoSession finishing(port);
    ASSERT_TRUE(finishing.start());
    finishing.sendAudio(6400);
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitForOutput("draining:")) << "SIGHUP must not kill the server at once: " << server.output();
    EXPECT_EQ(httpStatus(get(port, "/healthz")), 503);
    WsPeer late;
    EXPECT_EQ(late.open(port), 503);
    finishing.sendAudio(6400);
    EXPECT_TRUE(finishing.finish()) << "a running session finishes during the drain";
    EXPECT_EQ(server.exitCode(), 0) << server.output();
}
