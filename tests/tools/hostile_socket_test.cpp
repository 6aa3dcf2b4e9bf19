// SPDX-License-Identifier: Apache-2.0
// quorvex-server's sockets as a client sees them: how its closes end and how
// it refuses connections beyond its cap.
#include <poll.h>
#include <sys/socket.h>

#include <memory>
#include <vector>

#include "hostile_fixture.h"
#include "server_process.h"

using namespace quorvex::test;
using namespace quorvex::server;

namespace {

std::string get(int port, const std::string& path) {
    return httpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

// Reads raw server frames up to and including a close frame; false at the deadline.
bool readUntilCloseFrame(int fd) { return hasCloseFrame(readRaw(fd, hasCloseFrame)); }

} // namespace

// The server's close frame is followed by a wait for the client's, not by an
// at-once close that could reset the connection over unread input.
TEST_F(HostileClients, TheServersCloseWaitsForTheClientsClose) {
    ServerOptions options;
    options.startTimeoutMs = 100;
    serve(options);
    WsPeer peer;
    ASSERT_EQ(peer.open(port()), 101);
    peer.sendBinary(std::string(640, 'a')); // input the server will not read any more
    ASSERT_TRUE(readUntilCloseFrame(peer.fd())) << "no close frame after the start deadline";
    pollfd readable{peer.fd(), POLLIN, 0};
    EXPECT_EQ(poll(&readable, 1, 300), 0) << "the server hung up without waiting for the client's close";
    peer.sendFrame(8, std::string("\x03\xe8", 2));
    EXPECT_EQ(peer.closeCode(), -1) << "the end of the stream after the client's close";
}

// Connections past the cap are closed as soon as they are accepted; the log
// hears of a flood once a second, and the cap never lets accept() meet EMFILE.
TEST(ServerConnections, BeyondTheCapNewConnectionsAreClosedAtOnce) {
    ServerProcess server({"--engine", "echo", "--port", "0"}, 160);
    int port = server.port();
    ASSERT_NE(port, 0) << server.output();
    ASSERT_TRUE(server.waitForOutput("and 96 connection(s)")) << "the cap is the descriptor limit less 64";
    EchoSession good(port);
    ASSERT_TRUE(good.start());
    std::vector<std::unique_ptr<WsPeer>> held;
    int refused = 0;
    for (int i = 0; i < 130; ++i) {
        held.push_back(std::make_unique<WsPeer>());
        int status = held.back()->open(port);
        ASSERT_TRUE(status == 101 || status == 0) << status;
        refused += status == 0;
    }
    EXPECT_EQ(refused, 130 - 95);
    ASSERT_TRUE(server.waitForOutput("new connection(s) closed at once"));
    good.sendAudio(6400);
    EXPECT_TRUE(good.finish()) << "a session inside the cap lost audio";
    held.clear();
    std::string metrics;
    auto until = std::chrono::steady_clock::now() + kDeadline; // each try is a refused exchange, not a spin
    while (httpStatus(metrics = get(port, "/metrics")) != 200 && std::chrono::steady_clock::now() < until) {
    }
    ASSERT_EQ(httpStatus(metrics), 200) << "the cap's slots did not come back: " << metrics;
    const std::string counter = "quorvex_refusals_total{reason=\"connection_limit\"} ";
    ASSERT_NE(metrics.find(counter), std::string::npos) << metrics;
    EXPECT_GE(std::atoi(metrics.c_str() + metrics.find(counter) + counter.size()), refused)
        << "every refusal counted (the tries above may add theirs)";
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = server.output().find("closed at once", at)) != std::string::npos; ++at) ++lines;
    EXPECT_LE(lines, 3u) << server.output();
}

