// SPDX-License-Identifier: Apache-2.0
// The gap an application sees when its server is killed mid-session with
// resumption on: from the last text before the kill to the first text after,
// on loopback, through a relay that leads to a second echo server. Audio is
// streamed at real time in 20 ms frames. Usage: resume_gap QUORVEX_SERVER [trials]
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "quorvex/quorvex.h"
#include "tcp_relay.h"

using namespace quorvex::test;
using Clock = std::chrono::steady_clock;

namespace {

struct Server {
    explicit Server(const char* binary) : process({binary, "--engine", "echo", "--bind", "127.0.0.1", "--port", "0"}) {
        const std::string ready = "listening on ws://127.0.0.1:";
        if (process.waitForOutput(ready)) port = std::atoi(process.output().c_str() + process.output().find(ready) + ready.size());
    }
    ChildProcess process;
    int port = 0;
};

struct Listener : QUORVEX::QvAsrClientListener {
    std::mutex lock; // guards texts
    std::vector<Clock::time_point> texts;
    void onMessageError(int, const char*) override {}
    void onSessionError(int, const char* text) override { std::fprintf(stderr, "session error: %s\n", text); }
    void onDestroyed(int) override {}
    void onStartResult(int, const char*) override {}
    void onRecognitionText(const QUORVEX::QvAsrRecognitionResult*) override {
        std::lock_guard<std::mutex> guard(lock);
        texts.push_back(Clock::now());
    }
    void onStopResult(int) override {}
};

double trial(const char* binary) {
    Server first(binary), second(binary);
    TcpRelay relay(first.port);
    Listener listener;
    QUORVEX::QvAsrClient* client = QUORVEX::createAsrInstance();
    client->init(&listener);
    std::string url = relay.url();
    QUORVEX::QvAsrStartParam start{url.c_str(), "t"};
    client->start(&start);
    std::vector<unsigned char> pcm(640, 3);
    QUORVEX::QvAsrAudioFrame frame{pcm.data(), 640, 1, 16000, 16};
    auto next = Clock::now();
    Clock::time_point killedAt{};
    for (int i = 0; i < 250; ++i) { // 5 s; the kill at 2.5 s
        next += std::chrono::milliseconds(20);
        std::this_thread::sleep_until(next);
        while (client->sendAudio(&frame) == -5 && i == 0) std::this_thread::yield(); // until started
        if (i == 125) {
            killedAt = Clock::now();
            first.process.signal(SIGKILL);
            relay.setBackend(second.port);
        }
    }
    client->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double gap = -1;
    {
        std::lock_guard<std::mutex> guard(listener.lock);
        Clock::time_point before{}, after{};
        for (auto at : listener.texts) {
            if (at <= killedAt) before = at;
            else if (after == Clock::time_point{}) after = at;
        }
        if (after != Clock::time_point{}) gap = std::chrono::duration<double, std::milli>(after - before).count();
    }
    while (QUORVEX::destroyAsrInstance(client) == -5) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    delete client;
    return gap;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s QUORVEX_SERVER [trials]\n", argv[0]);
        return 2;
    }
    int trials = argc > 2 ? std::atoi(argv[2]) : 5;
    QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
    QUORVEX::QvAsrSdkInitParam params{};
    QUORVEX::init(&log, &params);
    QUORVEX::QvAsrResumeSettings resume{};
    resume.enabled = true; // defaults: 200 ms back-off before the first attempt, 20 % jitter
    QUORVEX::setResumeSettings(&resume);
    std::vector<double> gaps;
    for (int i = 0; i < trials; ++i) {
        double gap = trial(argv[1]);
        std::printf("trial %d: gap %.0f ms (texts every 1 s of audio)\n", i + 1, gap);
        gaps.push_back(gap);
    }
    std::sort(gaps.begin(), gaps.end());
    std::printf("median gap %.0f ms, max %.0f ms\n", gaps[gaps.size() / 2], gaps.back());
    QUORVEX::release();
    return 0;
}
