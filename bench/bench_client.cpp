// SPDX-License-Identifier: Apache-2.0
// The recognition client through its public interface, against a scripted
// loopback server: session latencies, destruction and the send path.
#include <atomic>
#include <cstring>
#include <string>

#include "asr_fixture.h"
#include "bench_util.h"
#include "lws_log.h"
#include "quorvex/quorvex.h"

using namespace quorvex::bench;
using namespace quorvex::test;
using namespace QUORVEX;

namespace {

Signal closeSignal;
int closes = 0;

void watchCloses(const char*, const char* text) {
    const char* suffix = "QUORVEX::QvAsrClientImpl::onClose";
    std::size_t length = std::strlen(text), suffixLength = std::strlen(suffix);
    if (length >= suffixLength && std::strcmp(text + length - suffixLength, suffix) == 0)
        closeSignal.update([] { ++closes; });
}

struct Library {
    Library() {
        QvAsrSdkLogParam log{true, nullptr, &watchCloses};
        QvAsrSdkInitParam params{};
        init(&log, &params);
    }
    ~Library() { release(); }
};

int startAndWait(QvAsrClient* client, RecordingListener& listener, const std::string& url) {
    int before = listener.count("start");
    QvAsrStartParam param{url.c_str(), "bench"};
    if (client->start(&param) != 0) return -1;
    listener.waitFor("start", before + 1);
    return listener.heard("start").back().code;
}

void stopAndWaitClose(QvAsrClient* client) {
    int before;
    {
        std::lock_guard<std::mutex> guard(closeSignal.lock());
        before = closes;
    }
    client->stop();
    closeSignal.waitUntil([&] { return closes > before; });
}

// start → onStartResult(0) and stop → the close that ends the session.
void BM_SessionLatencies(benchmark::State& state) {
    Library library;
    ScriptedServer server;
    RecordingListener listener;
    QvAsrClient* client = createAsrInstance();
    client->init(&listener);
    std::vector<double> startSamples, stopSamples;
    for (auto _ : state) {
        auto begin = Clock::now();
        if (startAndWait(client, listener, server.url()) != 0) state.SkipWithError("session refused");
        startSamples.push_back(microsSince(begin));
        begin = Clock::now();
        stopAndWaitClose(client);
        stopSamples.push_back(microsSince(begin));
    }
    std::sort(startSamples.begin(), startSamples.end());
    std::sort(stopSamples.begin(), stopSamples.end());
    state.counters["start_median_us"] = startSamples[startSamples.size() / 2];
    state.counters["stop_close_median_us"] = stopSamples[stopSamples.size() / 2];
    state.counters["stop_close_p99_us"] = stopSamples[stopSamples.size() * 99 / 100];
    destroyAsrInstance(client);
    delete client;
}
BENCHMARK(BM_SessionLatencies)->Iterations(500)->UseRealTime()->Unit(benchmark::kMicrosecond);

// destroyAsrInstance on a client whose session has closed (state 10).
void BM_DestroyClosedClient(benchmark::State& state) {
    Library library;
    ScriptedServer server;
    RecordingListener listener;
    QvAsrClient* client = createAsrInstance();
    client->init(&listener);
    startAndWait(client, listener, server.url());
    stopAndWaitClose(client);
    std::vector<double> samples;
    for (auto _ : state) {
        auto begin = Clock::now();
        if (destroyAsrInstance(client) != 0) state.SkipWithError("destroy refused");
        samples.push_back(microsSince(begin));
    }
    reportPercentiles(state, samples);
    delete client;
}
BENCHMARK(BM_DestroyClosedClient)->Iterations(20000)->UseRealTime();

// The calling thread's cost of one 640-byte sendAudio while streaming.
void BM_SendAudio640(benchmark::State& state) {
    Library library;
    QvAsrClientLimits roomy{}; // a million frames at once measure the call, not the queue cap
    roomy.sendQueueBytes = 1 << 30;
    setClientLimits(&roomy);
    ScriptedServer server(TestServer::Options{false, false, true});
    RecordingListener listener;
    QvAsrClient* client = createAsrInstance();
    client->init(&listener);
    startAndWait(client, listener, server.url());
    std::vector<unsigned char> pcm(640, 3);
    QvAsrAudioFrame frame{pcm.data(), 640, 1, 16000, 16};
    std::size_t sent = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(client->sendAudio(&frame));
        ++sent;
    }
    server.raw().waitForFrames(sent + 1, std::chrono::seconds(60));
    state.counters["frames_lost"] = static_cast<double>(sent + 1 - server.raw().framesReceived());
    stopAndWaitClose(client);
    destroyAsrInstance(client);
    delete client;
    QvAsrClientLimits defaults{};
    setClientLimits(&defaults);
}
BENCHMARK(BM_SendAudio640)->Iterations(1000000);

} // namespace

QUORVEX_BENCHMARK_MAIN()
