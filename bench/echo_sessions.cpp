// SPDX-License-Identifier: Apache-2.0
// The C++ side of bench/python_sessions.py: N sessions through the public C++
// interface, each streaming 640-byte frames in real time (one every 20 ms,
// sent by one pacing thread) for D seconds to quorvex-server --engine echo.
// Prints one line of key=value figures: sessions whose every byte the echo
// engine confirmed, process and loop CPU per session-second, and the latency
// of each echo text from the frame that completed its second of audio.
// Staggered (the default), session i starts i % 50 frames late, so that texts
// come spread over each second as from independent sources; aligned, every
// session completes a second in the same 20 ms and the texts come in bursts.
//   echo_sessions URL [sessions=200] [seconds=20] [staggered|aligned]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process_stats.h"
#include "quorvex/quorvex.h"

using Clock = std::chrono::steady_clock;
namespace {

constexpr int kFrameBytes = 640;
constexpr int kFramesPerText = 32000 / kFrameBytes; // the echo engine answers each second of audio

std::uint32_t fnv1a(const unsigned char* bytes, std::size_t size, std::uint32_t hash) {
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

class Session : public QUORVEX::QvAsrClientListener {
public:
    explicit Session(int frames) : sentAt(static_cast<std::size_t>(frames)) {}
    void onMessageError(int, const char*) override {}
    void onSessionError(int, const char*) override { finish(false); }
    void onDestroyed(int) override {}
    void onStartResult(int code, const char*) override {
        std::lock_guard<std::mutex> guard(lock);
        started = code == 0 ? 1 : -1;
        changed.notify_all();
    }
    void onRecognitionText(const QUORVEX::QvAsrRecognitionResult* result) override {
        auto now = Clock::now();
        unsigned long long bytes = 0;
        unsigned checksum = 0;
        if (std::sscanf(result->text, "bytes=%llu fnv1a=%x", &bytes, &checksum) != 2) return;
        if (result->fin) {
            std::lock_guard<std::mutex> guard(lock);
            finalText = result->text;
            return;
        }
        auto frame = static_cast<std::size_t>(bytes / kFrameBytes) - 1;
        if (frame < sentAt.size())
            latenciesUs.push_back(std::chrono::duration_cast<std::chrono::microseconds>(
                                      now - Clock::time_point(Clock::duration(sentAt[frame].load())))
                                      .count());
    }
    void onStopResult(int) override { finish(true); }
    void finish(bool ok) {
        std::lock_guard<std::mutex> guard(lock);
        ended = ok ? 1 : -1;
        changed.notify_all();
    }
    template <class Predicate> bool waitFor(Predicate ready) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(30), ready);
    }

    std::vector<std::atomic<Clock::rep>> sentAt;
    std::vector<long long> latenciesUs; // the loop thread's alone until the stop result
    std::mutex lock;
    std::condition_variable changed;
    int started = 0, ended = 0;
    std::string finalText;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: echo_sessions URL [sessions] [seconds]\n");
        return 2;
    }
    const std::string url = argv[1];
    const int count = argc > 2 ? std::atoi(argv[2]) : 200;
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 20;
    const int frames = seconds * 50;
    const bool staggered = !(argc > 4 && std::string(argv[4]) == "aligned");
    const int lastStart = staggered ? std::min(count, 50) - 1 : 0;
    QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
    QUORVEX::QvAsrSdkInitParam params{};
    if (QUORVEX::init(&log, &params) != 0) return 1;
    std::vector<std::unique_ptr<Session>> sessions;
    std::vector<QUORVEX::QvAsrClient*> clients;
    for (int i = 0; i < count; ++i) {
        sessions.push_back(std::make_unique<Session>(frames));
        clients.push_back(QUORVEX::createAsrInstance());
        clients.back()->init(sessions.back().get());
        QUORVEX::QvAsrStartParam start{url.c_str(), ""};
        clients.back()->start(&start);
    }
    for (auto& s : sessions) s->waitFor([&] { return s->started != 0; });

    unsigned char pcm[kFrameBytes];
    for (int i = 0; i < kFrameBytes; ++i) pcm[i] = static_cast<unsigned char>(i * 7);
    QUORVEX::QvAsrAudioFrame frame{pcm, kFrameBytes, 1, 16000, 16};
    const double cpuBefore = quorvex::bench::cpuSeconds();
    double loopBefore = 0;
    for (auto& [tid, cpu] : quorvex::bench::threadCpuSeconds("quorvex-loop")) loopBefore += cpu;
    auto next = Clock::now();
    for (int tick = 0; tick < frames + lastStart; ++tick) {
        for (int i = 0; i < count; ++i) {
            const int f = tick - (staggered ? i % 50 : 0);
            if (f < 0 || f >= frames) continue;
            sessions[static_cast<std::size_t>(i)]->sentAt[static_cast<std::size_t>(f)] =
                Clock::now().time_since_epoch().count();
            clients[static_cast<std::size_t>(i)]->sendAudio(&frame);
        }
        next += std::chrono::milliseconds(20);
        std::this_thread::sleep_until(next);
    }
    for (auto* client : clients) client->stop();
    int confirmed = 0;
    std::uint32_t expected = 2166136261u;
    for (int f = 0; f < frames; ++f) expected = fnv1a(pcm, kFrameBytes, expected);
    char want[64];
    std::snprintf(want, sizeof want, "bytes=%d fnv1a=%08x", frames * kFrameBytes, expected);
    std::vector<long long> latencies;
    for (auto& s : sessions) {
        s->waitFor([&] { return s->ended != 0; });
        std::lock_guard<std::mutex> guard(s->lock);
        confirmed += s->ended == 1 && s->finalText == want;
        latencies.insert(latencies.end(), s->latenciesUs.begin(), s->latenciesUs.end());
    }
    const double cpu = quorvex::bench::cpuSeconds() - cpuBefore;
    double loop = -loopBefore;
    for (auto& [tid, seconds] : quorvex::bench::threadCpuSeconds("quorvex-loop")) loop += seconds;
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) {
        return latencies.empty() ? 0.0 : latencies[static_cast<std::size_t>(q * (latencies.size() - 1))] / 1000.0;
    };
    const double sessionSeconds = static_cast<double>(count) * seconds;
    std::printf("sessions=%d confirmed=%d cpu_us_per_session_second=%.1f loop_us_per_session_second=%.1f "
                "texts=%zu p50_ms=%.2f p99_ms=%.2f\n",
                count, confirmed, cpu / sessionSeconds * 1e6, loop / sessionSeconds * 1e6, latencies.size(),
                at(0.5), at(0.99));
    for (auto* client : clients)
        while (QUORVEX::destroyAsrInstance(client) == -5) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    QUORVEX::release();
    return confirmed == count ? 0 : 1;
}
