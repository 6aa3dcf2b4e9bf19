// SPDX-License-Identifier: Apache-2.0
// The reference server's limits under pressure, in process, on loopback.
//   bench_server_limits memory      RSS with pocketsphinx sessions held at the cap, and
//                                   how fast STARTs beyond it are refused
//   bench_server_limits healthz     /healthz latency while a control message one byte over
//                                   its limit and a 60 MiB audio frame arrive (echo engine)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lws_log.h"
#include "server/asr_server.h"
#include "server/server_log.h"
#include "ws_peer.h"

using namespace quorvex::server;
using namespace quorvex::test;
using Clock = std::chrono::steady_clock;

namespace {

long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

int memory() {
    std::string error;
    std::shared_ptr<Engine> engine = makePocketsphinxEngine(kDefaultModelDir, error);
    if (!engine) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    ServerOptions options;
    options.workers = 2;
    AsrServer server(options, engine);
    if (!server.start(error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    unsigned int cap = server.limits().maxSessions;
    long before = residentKiB();
    std::vector<std::unique_ptr<WsPeer>> held;
    for (unsigned int i = 0; i < cap; ++i) {
        held.push_back(std::make_unique<WsPeer>());
        held.back()->open(server.port());
        held.back()->sendStart();
        held.back()->textWith("START_SESSION_RES", std::chrono::seconds(60));
    }
    long atCap = residentKiB();
    constexpr int kRefused = 30;
    auto start = Clock::now();
    for (int i = 0; i < kRefused; ++i) {
        WsPeer over;
        over.open(server.port());
        over.sendStart();
        over.textWith("START_SESSION_RES");
    }
    double refusing = msSince(start);
    std::printf("pocketsphinx, %u sessions held at the cap (2 workers): RSS %ld MiB idle (one decoder), %ld MiB at the "
                "cap, %ld MiB after %d more STARTs; each refused in %.2f ms on average\n",
                cap, before / 1024, atCap / 1024, residentKiB() / 1024, kRefused, refusing / kRefused);
    return 0;
}

int healthz() {
    std::string error;
    AsrServer server(ServerOptions{}, makeEchoEngine());
    if (!server.start(error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    int port = server.port();
    std::atomic<bool> done{false};
    std::vector<double> latencies;
    std::thread probe([&] {
        while (!done) {
            auto start = Clock::now();
            httpExchange(port, "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
            latencies.push_back(msSince(start));
        }
    });
    WsPeer text;
    text.open(port);
    text.sendText(std::string(server.limits().maxMessageBytes + 1, ' '));
    text.textWith("EXCEPTION_NTF");
    WsPeer audio;
    audio.open(port);
    audio.sendStart();
    audio.textWith("START_SESSION_RES");
    auto start = Clock::now();
    audio.sendBinary(std::string(60u << 20, '\0'));
    audio.closeCode(std::chrono::seconds(60)); // refused as it arrives, or answered and closed
    double frameMs = msSince(start);
    done = true;
    probe.join();
    std::sort(latencies.begin(), latencies.end());
    std::printf("/healthz during a 64 KiB + 1 control message and a 60 MiB frame (refused after %.0f ms): %zu "
                "requests, median %.2f ms, p99 %.2f ms, worst %.2f ms\n",
                frameMs, latencies.size(), latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
                latencies.back());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    captureLwsLog();
    setLogSink([](const std::string&) {}); // refusals are the point here, not news
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "memory") return memory();
    if (mode == "healthz") return healthz();
    std::fprintf(stderr, "usage: bench_server_limits memory | healthz\n");
    return 2;
}
