// SPDX-License-Identifier: Apache-2.0
// The library against the floor: the same real-time sessions from quorvex and
// from a bare epoll client, against one load server, in one invocation, in
// alternating order. Each client runs in its own process so that its CPU and
// memory are its own.
//   compare_floor [sessions=1000] [seconds=5] [rounds=2] [only=floor|quorvex|both] [options]
// options: threads=N (writer threads sharing the sessions, 1), loops=N (the
// library's loop threads, 1), paced (session 0 streams from a thread of its
// own, beside a plain lock-copy-eventfd hand-off), slow (session 1's
// listener takes 100 ms over each text; the library only), tls (wss://: the
// load server terminates TLS, the floor speaks OpenSSL directly, the library
// verifies the server against a CA the bench makes).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>
#include <cstdlib>
#include <string>
#include <vector>

#include "cert_authority.h"
#include "../child_server.h"
#include "../process_stats.h"
#include "floor_client.h"
#include "floor_tls.h"
#include "load_server.h"
#include "quorvex_sessions.h"

using namespace quorvex::bench;

namespace {

enum class Kind { Floor, Quorvex };
const char* name(Kind kind) { return kind == Kind::Floor ? "floor (epoll, bare sockets)" : "quorvex"; }

int loopThreads = 1;
std::string caFile; // set: wss://, verified against it

RunFigures measure(Kind kind, const Workload& load, int port) {
    if (kind == Kind::Quorvex) {
        QUORVEX::setLoopThreads(loopThreads);
        QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
        QUORVEX::QvAsrSdkInitParam params{};
        QUORVEX::init(&log, &params);
        if (!caFile.empty()) {
            QUORVEX::QvAsrTlsSettings tls{};
            tls.verify = true;
            tls.caFile = caFile.c_str();
            if (QUORVEX::setTlsSettings(&tls) != 0) std::fprintf(stderr, "quorvex: the CA was refused\n");
        }
    }
    RunFigures figures;
    {
        Sessions sessions(load);
        long rssBefore = residentKiB(), rssStreaming = 0;
        double cpuBefore = cpuSeconds();
        std::unique_ptr<FloorTls> floorTls;
        if (kind == Kind::Floor && !caFile.empty()) floorTls = std::make_unique<FloorTls>(caFile);
        std::unique_ptr<LoadClient> client;
        if (kind == Kind::Floor)
            client = std::make_unique<FloorClient>(port, sessions, floorTls.get());
        else
            client = std::make_unique<QuorvexClient>(std::string(caFile.empty() ? "ws" : "wss") + "://127.0.0.1:" +
                                                         std::to_string(port) + "/asr",
                                                     sessions, load.slowListener);
        std::map<int, double> loopCpuBefore, loopCpuAfter;
        auto streamingFrom = Clock::now();
        runWorkload(load, *client, sessions, [&] {
            rssStreaming = residentKiB();
            loopCpuBefore = threadCpuSeconds("quorvex-loop");
            streamingFrom = Clock::now();
            // A second look a second later: the loops' share of a core while they stream.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            loopCpuAfter = threadCpuSeconds("quorvex-loop");
        }, figures);
        double wall = std::chrono::duration<double>(Clock::now() - streamingFrom).count();
        int index = 0;
        for (const auto& [thread, seconds] : loopCpuAfter) {
            if (index < RunFigures::kLoopsShown && loopCpuBefore.count(thread))
                figures.loopShare[index++] = (seconds - loopCpuBefore[thread]) / std::min(wall, 1.0);
        }
        figures.cpuSeconds = cpuSeconds() - cpuBefore;
        figures.rssKiBPerSession = double(rssStreaming - rssBefore) / load.sessions;
    }
    if (kind == Kind::Quorvex) QUORVEX::release();
    return figures;
}

// In a child process; its figures come back through a pipe.
RunFigures measureApart(Kind kind, const Workload& load, int port) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) std::abort();
    pid_t child = fork();
    if (child == 0) {
        RunFigures figures = measure(kind, load, port);
        if (write(pipeEnds[1], &figures, sizeof figures) != sizeof figures) std::_Exit(2);
        std::_Exit(0);
    }
    close(pipeEnds[1]);
    RunFigures figures;
    if (read(pipeEnds[0], &figures, sizeof figures) != sizeof figures) std::fprintf(stderr, "%s: no figures\n", name(kind));
    close(pipeEnds[0]);
    waitpid(child, nullptr, 0);
    return figures;
}

void print(const char* who, const RunFigures& f, const Workload& load) {
    double sessionSeconds = double(load.sessions) * load.seconds;
    std::printf("| %-28s | %8.3f | %6.1f | %6.2f / %6.2f | %6.2f / %6.2f | %6.2f / %6.2f | %d of %d, %lld of %lld bytes |\n",
                who, 1000 * f.cpuSeconds / sessionSeconds, f.rssKiBPerSession, f.startP50, f.startP99, f.textP50,
                f.textP99, f.stopP50, f.stopP99, f.sessionsOk, load.sessions,
                static_cast<long long>(f.bytesConfirmed), static_cast<long long>(f.bytesSent));
}

void printCalls(const char* who, const CallFigures& c) {
    if (c.calls == 0) return;
    std::printf("| %-34s | %7.1f / %7.1f / %7.1f / %8.1f | %lld of %lld | %7.2f / %7.2f |\n", who, c.p50Us, c.p99Us,
                c.p999Us, c.maxUs, static_cast<long long>(c.overOneMs), static_cast<long long>(c.calls), c.lagP99Ms,
                c.lagMaxMs);
}

void printHandOffs(const char* who, const RunFigures& f) {
    std::string name(who);
    printCalls((name + ": pacing threads").c_str(), f.pacers);
    printCalls((name + ": session on its own thread").c_str(), f.alone);
    printCalls((name + ": plain hand-off beside it").c_str(), f.plain);
    if (f.loopShare[0] > 0) {
        std::printf("| %-34s |", (name + ": loop threads, share of a core").c_str());
        for (double share : f.loopShare)
            if (share > 0) std::printf(" %.2f", share);
        std::printf(" | | |\n");
    }
}

// Where a text's latency lies: up to the server, back from it, and what the
// client's own pacing lag adds to what its listener waits.
void printTextLatency(const char* who, const RunFigures& f) {
    std::printf("| %-8s | %7.2f / %7.2f | %7.2f / %7.2f | %7.2f / %7.2f | %8.2f / %8.2f |\n", who, f.textP50,
                f.textP99, f.toServerP50, f.toServerP99, f.backP50, f.backP99, f.fromDueP50, f.fromDueP99);
}

void printRatio(const RunFigures& q, const RunFigures& f) {
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("| %-28s | %7.2fx | %5.2fx | %5.2fx / %5.2fx | %5.2fx / %5.2fx | %5.2fx / %5.2fx | |\n",
                "quorvex / floor", ratio(q.cpuSeconds, f.cpuSeconds), ratio(q.rssKiBPerSession, f.rssKiBPerSession),
                ratio(q.startP50, f.startP50), ratio(q.startP99, f.startP99), ratio(q.textP50, f.textP50),
                ratio(q.textP99, f.textP99), ratio(q.stopP50, f.stopP50), ratio(q.stopP99, f.stopP99));
}

// One round's ratio moves with the floor's own cost (about 10% between rounds
// here): the median over rounds is the figure to compare against a goal.
void printCpuRatioOverRounds(std::vector<double> ratios) {
    if (ratios.size() < 2) return;
    std::sort(ratios.begin(), ratios.end());
    std::size_t middle = ratios.size() / 2;
    double median = ratios.size() % 2 ? ratios[middle] : (ratios[middle - 1] + ratios[middle]) / 2;
    std::printf("\nCPU per session-second, quorvex / floor over %zu rounds: median %.2fx, range %.2fx to %.2fx\n",
                ratios.size(), median, ratios.front(), ratios.back());
}

void raiseDescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace

int main(int argc, char** argv) {
    Workload load;
    load.sessions = argc > 1 ? std::atoi(argv[1]) : 1000;
    load.seconds = argc > 2 ? std::atoi(argv[2]) : 5;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 2;
    std::string only = argc > 4 ? argv[4] : ""; // one client alone, for a profiler
    bool useTls = false;
    // Options may follow the rounds directly ("2000 5 1 tls"): only a client's name is a choice of client.
    int firstOption = only == "floor" || only == "quorvex" || only == "both" ? 5 : 4;
    if (firstOption == 4 || only == "both") only.clear();
    for (int i = firstOption; i < argc; ++i) {
        std::string option = argv[i];
        if (option.rfind("threads=", 0) == 0) load.writerThreads = std::atoi(option.c_str() + 8);
        if (option.rfind("loops=", 0) == 0) loopThreads = std::atoi(option.c_str() + 6);
        if (option == "paced") load.pacedAlone = true;
        if (option == "slow") load.slowListener = true;
        if (option == "tls") useTls = true;
    }
    raiseDescriptorLimit();
    std::unique_ptr<quorvex::test::CertAuthority> authority;
    LoadTls serverTls;
    if (useTls) {
        authority = std::make_unique<quorvex::test::CertAuthority>();
        quorvex::test::KeyPair pair = authority->issue("load", "localhost", "127.0.0.1");
        serverTls = {pair.cert, pair.key};
        caFile = authority->caFile();
    }
    ChildServer server([&](const auto& ready, const auto& waitForStop) {
        return serveLoad(load.textEvery, serverTls, ready, waitForStop);
    });
    std::printf("%s: %d sessions x %d s, %d-byte frames every %d ms, a text per %d frames; %d round(s); %d writer "
                "thread(s), %d loop(s)%s%s\n",
                useTls ? "wss://" : "ws://", load.sessions, load.seconds, load.frameBytes, load.frameMs, load.textEvery, rounds, load.writerThreads,
                loopThreads, load.pacedAlone ? ", session 0 paced alone" : "",
                load.slowListener ? ", session 1's listener takes 100 ms" : "");
    std::printf("| client | CPU ms per session-s | RSS KiB per session | start p50 / p99 ms | text p50 / p99 ms | "
                "stop p50 / p99 ms | confirmed |\n|---|---|---|---|---|---|---|\n");
    bool allConfirmed = true;
    std::vector<RunFigures> handOffs;
    std::vector<double> cpuRatios;
    for (int round = 0; round < rounds; ++round) {
        bool floorFirst = round % 2 == 0;
        RunFigures figures[2];
        for (Kind kind : floorFirst ? std::vector<Kind>{Kind::Floor, Kind::Quorvex} : std::vector<Kind>{Kind::Quorvex, Kind::Floor}) {
            RunFigures& f = figures[kind == Kind::Floor ? 0 : 1];
            if (!only.empty() && only != (kind == Kind::Floor ? "floor" : "quorvex")) continue;
            f = measureApart(kind, load, server.port());
            allConfirmed &= f.sessionsOk == load.sessions && f.bytesConfirmed == f.bytesSent;
        }
        print(name(Kind::Floor), figures[0], load);
        print(name(Kind::Quorvex), figures[1], load);
        printRatio(figures[1], figures[0]);
        if (figures[0].cpuSeconds > 0 && figures[1].cpuSeconds > 0)
            cpuRatios.push_back(figures[1].cpuSeconds / figures[0].cpuSeconds);
        handOffs.push_back(figures[0]);
        handOffs.push_back(figures[1]);
    }
    std::printf("\n| hand-off calls | p50 / p99 / p99.9 / max us | over 1 ms | pacing lag p99 / max ms |\n"
                "|---|---|---|---|\n");
    for (std::size_t i = 0; i < handOffs.size(); ++i) printHandOffs(i % 2 == 0 ? "floor" : "quorvex", handOffs[i]);
    std::printf("\n| text ms | from the hand-off p50 / p99 | to the server | back | from the frame's due time |\n"
                "|---|---|---|---|---|\n");
    for (std::size_t i = 0; i < handOffs.size(); ++i) printTextLatency(i % 2 == 0 ? "floor" : "quorvex", handOffs[i]);
    printCpuRatioOverRounds(cpuRatios);
    double serverCpu = 0;
    server.stop(serverCpu);
    // The server's work is part of what a client costs: a cheaper handshake or fewer records show here.
    std::printf("\nload server CPU: %.2f s over every round of both clients\n", serverCpu);
    return allConfirmed ? 0 : 3;
}
