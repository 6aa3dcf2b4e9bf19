// Loop machinery: timer wake-up latency and loopback write throughput.
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "bench_util.h"
#include "lws_log.h"
#include "test_server.h"
#include "transport/wss_client.h"
#include "transport/wss_config.h"
#include "transport/wss_context.h"

using namespace quorvex::bench;
using quorvex::test::TestServer;

namespace {

struct Loop {
    CWSSClient owner;
    CWSSContext* context;
    Loop() {
        tagWSSvrConfig config;
        context = owner.createContext(&config, 4096, 4096);
    }
};

class Client : public CWSSClient {
public:
    void onEstablished() override {
        std::lock_guard<std::mutex> guard(lock);
        open = true;
        changed.notify_all();
    }
    void waitOpen() {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return open; });
    }
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
};

// addTimer(…, 0) on an application thread → the callback running on the loop.
void BM_TimerZeroLatency(benchmark::State& state) {
    Loop loop;
    std::vector<double> samples;
    std::mutex lock;
    std::condition_variable fired;
    for (auto _ : state) {
        bool done = false;
        auto start = Clock::now();
        double latency = 0;
        loop.context->addTimer([&](void*) {
            latency = microsSince(start);
            std::lock_guard<std::mutex> guard(lock);
            done = true;
            fired.notify_one();
            return false;
        }, 0);
        std::unique_lock<std::mutex> guard(lock);
        fired.wait(guard, [&] { return done; });
        samples.push_back(latency);
    }
    reportPercentiles(state, samples);
}
BENCHMARK(BM_TimerZeroLatency)->Iterations(20000)->UseRealTime();

// 640-byte binary messages written by one application thread, until the
// loopback server has received them all.
void BM_WriteThroughput640(benchmark::State& state) {
    TestServer server(TestServer::Options{false, false, true});
    Loop loop;
    Client client;
    client.connect(loop.context, server.url(), "", {}, 1);
    client.waitOpen();
    std::vector<unsigned char> frame(640, 0x5a);
    const std::size_t batch = static_cast<std::size_t>(state.range(0));
    std::size_t expected = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < batch; ++i) client.writeBinary(frame.data(), static_cast<int>(frame.size()));
        expected += batch;
        server.waitForFrames(expected, std::chrono::seconds(60));
    }
    state.counters["messages_per_s"] =
        benchmark::Counter(static_cast<double>(expected), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(expected * frame.size()));
}
BENCHMARK(BM_WriteThroughput640)->Arg(200000)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

QUORVEX_BENCHMARK_MAIN()
