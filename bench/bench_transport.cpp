// SPDX-License-Identifier: Apache-2.0
// Loop machinery: timer wake-up latency and loopback write throughput.
#include <chrono>

#include "bench_util.h"
#include "recording_client.h"
#include "transport/transport_control.h"
#include "test_server.h"

using namespace quorvex::bench;
using quorvex::test::LoopOwner;
using quorvex::test::RecordingClient;
using quorvex::test::Signal;
using quorvex::test::TestServer;

namespace {

// addTimer(…, 0) on an application thread → the callback running on the loop.
void BM_TimerZeroLatency(benchmark::State& state) {
    std::vector<double> samples;
    Signal fired;
    LoopOwner loop; // goes first, with its timers
    for (auto _ : state) {
        bool done = false;
        auto start = Clock::now();
        double latency = 0;
        loop.context->addTimer([&](void*) {
            latency = microsSince(start);
            fired.update([&] { done = true; });
            return false;
        }, 0);
        if (!fired.waitUntil([&] { return done; })) {
            state.SkipWithError("a zero timer did not run within 5 s");
            return;
        }
        samples.push_back(latency);
    }
    reportPercentiles(state, samples);
}
BENCHMARK(BM_TimerZeroLatency)->Iterations(20000)->UseRealTime();

// 640-byte binary messages written by one application thread, until the
// loopback server has received them all.
void BM_WriteThroughput640(benchmark::State& state) {
    TestServer server(TestServer::Options{false, false, true});
    LoopOwner loop;
    RecordingClient client(loop.context);
    tagWSSLimits roomy; // a burst of 128 MB measures the write path, not the queue cap
    roomy.sendQueueBytes = std::size_t(1) << 30;
    quorvex::transport::setConnLimits(client, roomy);
    if (!client.connectTo(server.url()) || !client.waitEstablished()) {
        state.SkipWithError("the loopback connection did not open within 5 s");
        return;
    }
    std::vector<unsigned char> frame(640, 0x5a);
    const std::size_t batch = static_cast<std::size_t>(state.range(0));
    std::size_t expected = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < batch; ++i) client.writeBinary(frame.data(), static_cast<int>(frame.size()));
        expected += batch;
        if (!server.waitForFrames(expected, std::chrono::seconds(60))) {
            state.SkipWithError("the server did not receive every message within 60 s");
            return;
        }
    }
    state.counters["messages_per_s"] =
        benchmark::Counter(static_cast<double>(expected), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(expected * frame.size()));
}
BENCHMARK(BM_WriteThroughput640)->Arg(200000)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

QUORVEX_BENCHMARK_MAIN()
