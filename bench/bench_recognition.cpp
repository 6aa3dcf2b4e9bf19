// SPDX-License-Identifier: Apache-2.0
// Recognition through the library against the reference server.
//   bench_recognition latency            last frame → final text, with and without the network
//   bench_recognition capacity ENGINE N S   N real-time sessions for S seconds on one server
//                                            (ENGINE: echo or pocketsphinx), server in a child process
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "asr_fixture.h"
#include "child_server.h"
#include "lws_log.h"
#include "server/asr_server.h"
#include "transcribe/audio_source.h"

using namespace quorvex::test;
using namespace quorvex::server;
using namespace QUORVEX;
using Clock = std::chrono::steady_clock;

namespace {

const char* kRecordings[] = {"0870", "0880", "0890", "0920", "0930"};

std::vector<unsigned char> recording(const char* id) {
    std::vector<unsigned char> pcm;
    std::string error;
    quorvex::tools::readAudioFile(
        std::string("/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-") + id + ".wav", pcm,
        error);
    return pcm;
}

double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Session {
    RecordingListener listener;
    QvAsrClient* client = nullptr;
    Clock::time_point stopped;
    double stopToFinalMs = 0;
};

void streamRealtime(QvAsrClient* client, const std::vector<unsigned char>& pcm, int seconds = 0) {
    auto next = Clock::now();
    std::size_t total = seconds ? std::size_t(seconds) * 32000 : pcm.size();
    for (std::size_t at = 0; at < total; at += 640) {
        std::size_t offset = at % pcm.size();
        QvAsrAudioFrame frame{pcm.data() + offset, static_cast<int>(std::min<std::size_t>(640, pcm.size() - offset)), 1,
                              16000, 16};
        client->sendAudio(&frame);
        std::this_thread::sleep_until(next += std::chrono::milliseconds(20));
    }
}

int latency() {
    std::string error;
    std::shared_ptr<Engine> engine = makePocketsphinxEngine(kDefaultModelDir, error);
    if (!engine) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    AsrServer server(ServerOptions{}, engine);
    server.start(error);
    QvAsrSdkLogParam log{false, nullptr, nullptr};
    QvAsrSdkInitParam params{};
    init(&log, &params);
    std::vector<double> throughLibrary, direct;
    for (const char* id : kRecordings) {
        auto pcm = recording(id);
        // Without the network: the recogniser fed at the same pace, then finished.
        auto recogniser = engine->open();
        auto next = Clock::now();
        for (std::size_t at = 0; at < pcm.size(); at += 640) {
            recogniser->feed(reinterpret_cast<const std::int16_t*>(pcm.data() + at), std::min<std::size_t>(640, pcm.size() - at) / 2);
            std::this_thread::sleep_until(next += std::chrono::milliseconds(20));
        }
        auto start = Clock::now();
        recogniser->finish();
        direct.push_back(msSince(start));
        recogniser.reset();

        Session session;
        session.client = createAsrInstance();
        session.client->init(&session.listener);
        const std::string url = server.url();
        QvAsrStartParam startParam{url.c_str(), "t"};
        session.client->start(&startParam);
        if (!session.listener.waitFor("start") || session.listener.heard("start")[0].code != 0)
            return std::fprintf(stderr, "session did not start (%d)\n", session.listener.count("start") ? session.listener.heard("start")[0].code : 99), 1;
        streamRealtime(session.client, pcm);
        start = Clock::now();
        if (session.client->stop() != 0) return std::fprintf(stderr, "stop refused\n"), 1;
        if (!session.listener.waitFor("stop", 1, std::chrono::seconds(60)))
            return std::fprintf(stderr, "no stop answer\n"), 1;
        // The final text precedes the stop answer on the wire.
        throughLibrary.push_back(msSince(start));
        while (destroyAsrInstance(session.client) == -5) std::this_thread::yield();
        delete session.client;
    }
    release();
    std::printf("last frame -> final text, median of %zu recordings: through quorvex %.1f ms, recogniser alone %.1f ms\n",
                direct.size(), median(throughLibrary), median(direct));
    return 0;
}

int capacity(const std::string& engineName, int sessions, int seconds) {
    quorvex::bench::ChildServer server([&engineName, sessions](const auto& ready, const auto& waitForStop) -> std::uint64_t {
        captureLwsLog();
        std::string error;
        std::shared_ptr<Engine> engine =
            engineName == "echo" ? makeEchoEngine() : makePocketsphinxEngine(kDefaultModelDir, error);
        ServerOptions options;
        options.maxSessions = static_cast<unsigned int>(sessions); // capacity is what is measured, not the cap
        AsrServer recognition(options, engine);
        recognition.start(error);
        ready(recognition.port());
        waitForStop();
        return 0;
    });
    std::string url = server.url();
    captureLwsLog();
    QvAsrSdkLogParam log{false, nullptr, nullptr};
    QvAsrSdkInitParam params{};
    init(&log, &params);
    // Speech, then 1.2 s of silence, over and over: utterances end as in a conversation.
    auto pcm = recording("0870");
    pcm.resize(pcm.size() - pcm.size() % 640 + 1920 * 20, 0);
    std::vector<std::unique_ptr<Session>> all;
    for (int i = 0; i < sessions; ++i) {
        all.push_back(std::make_unique<Session>());
        all.back()->client = createAsrInstance();
        all.back()->client->init(&all.back()->listener);
        QvAsrStartParam start{url.c_str(), "t"};
        all.back()->client->start(&start);
    }
    int started = 0;
    for (auto& session : all) started += session->listener.waitFor("start") && session->listener.heard("start")[0].code == 0;
    // One pacing thread sends every session's next frame each 20 ms.
    auto next = Clock::now();
    for (std::size_t at = 0; at < std::size_t(seconds) * 32000; at += 640) {
        std::size_t offset = at % (pcm.size() - pcm.size() % 640);
        QvAsrAudioFrame frame{pcm.data() + offset, 640, 1, 16000, 16};
        for (auto& session : all) session->client->sendAudio(&frame);
        std::this_thread::sleep_until(next += std::chrono::milliseconds(20));
    }
    for (auto& session : all) {
        session->stopped = Clock::now();
        session->client->stop();
    }
    std::vector<double> stopLatency;
    int answered = 0;
    for (auto& session : all) {
        if (session->listener.waitFor("stop")) ++answered;
        stopLatency.push_back(msSince(session->stopped));
    }
    double serverCpu = 0;
    server.stop(serverCpu);
    for (auto& session : all) {
        while (destroyAsrInstance(session->client) == -5) std::this_thread::yield();
        delete session->client;
    }
    release();
    double worst = *std::max_element(stopLatency.begin(), stopLatency.end());
    std::printf("%s engine, %d sessions (%d started, %d answered) for %d s: server CPU %.0f%% of one core, "
                "stop -> final median %.0f ms, worst %.0f ms%s\n",
                engineName.c_str(), sessions, started, answered, seconds, 100.0 * serverCpu / seconds,
                median(stopLatency), worst, worst < 2000 && answered == sessions ? " (kept up)" : " (fell behind)");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    captureLwsLog();
    std::string mode = argc > 1 ? argv[1] : "latency";
    if (mode == "latency") return latency();
    if (mode == "capacity" && argc > 4) return capacity(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    std::fprintf(stderr, "usage: bench_recognition latency | capacity echo|pocketsphinx SESSIONS SECONDS\n");
    return 2;
}
