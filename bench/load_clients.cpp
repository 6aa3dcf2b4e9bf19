// SPDX-License-Identifier: Apache-2.0
// Load run: N clients on the shared context, each streaming 640-byte frames
// in real time (one every 20 ms) for D seconds, against a loopback server in
// a child process. Reports client CPU, resident memory per client and frames lost.
//   load_clients [clients=500] [seconds=20]
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "asr_fixture.h"
#include "child_server.h"
#include "lws_log.h"
#include "process_stats.h"
#include "quorvex/quorvex.h"

using namespace quorvex::test;
using namespace QUORVEX;
using Clock = std::chrono::steady_clock;

using quorvex::bench::cpuSeconds;
using quorvex::bench::residentKiB;

int main(int argc, char** argv) {
    const int clientCount = argc > 1 ? std::atoi(argv[1]) : 500;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
    // The server counts the audio frames it received.
    quorvex::bench::ChildServer server([](const auto& ready, const auto& waitForStop) -> std::uint64_t {
        captureLwsLog();
        ScriptedServer counting(TestServer::Options{false, false, true});
        ready(counting.raw().port());
        waitForStop();
        return counting.raw().binaryFramesReceived();
    });
    std::string url = server.url();

    captureLwsLog();
    QvAsrSdkLogParam log{false, nullptr, nullptr};
    QvAsrSdkInitParam params{};
    init(&log, &params);
    long rssBefore = residentKiB();
    std::vector<std::unique_ptr<RecordingListener>> listeners;
    std::vector<QvAsrClient*> clients;
    for (int i = 0; i < clientCount; ++i) {
        listeners.push_back(std::make_unique<RecordingListener>());
        clients.push_back(createAsrInstance());
        clients.back()->init(listeners.back().get());
        QvAsrStartParam start{url.c_str(), "load"};
        clients.back()->start(&start);
    }
    int started = 0;
    for (auto& listener : listeners) started += listener->waitFor("start") && listener->heard("start")[0].code == 0;
    std::printf("clients started: %d of %d\n", started, clientCount);

    std::vector<unsigned char> pcm(640, 9);
    QvAsrAudioFrame frame{pcm.data(), 640, 1, 16000, 16};
    const int ticks = seconds * 50;
    long sent = 0, refused = 0;
    double cpuStart = cpuSeconds();
    auto next = Clock::now();
    for (int tick = 0; tick < ticks; ++tick) {
        for (auto* client : clients) (client->sendAudio(&frame) == 0 ? sent : refused)++;
        next += std::chrono::milliseconds(20); // real-time pacing of the harness
        std::this_thread::sleep_until(next);
    }
    double cpuUsed = cpuSeconds() - cpuStart;
    long rssStreaming = residentKiB();
    for (auto* client : clients) client->stop();
    for (auto& listener : listeners) listener->waitFor("stop");

    double serverCpu = 0;
    std::size_t received = server.stop(serverCpu);
    for (auto* client : clients) {
        destroyAsrInstance(client);
        delete client;
    }
    release();

    std::printf("frames sent: %ld, refused: %ld, received by server: %zu, lost: %ld\n", sent, refused, received,
                sent - static_cast<long>(received));
    std::printf("client CPU: %.2f s over %d s = %.1f%% of one core\n", cpuUsed, seconds, 100.0 * cpuUsed / seconds);
    std::printf("resident memory: %ld KiB before clients, %ld KiB while streaming: %.1f KiB per client\n",
                rssBefore, rssStreaming, static_cast<double>(rssStreaming - rssBefore) / clientCount);
    return sent == static_cast<long>(received) ? 0 : 3;
}
