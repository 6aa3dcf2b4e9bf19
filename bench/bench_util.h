// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_BENCH_BENCH_UTIL_H
#define QUORVEX_BENCH_BENCH_UTIL_H

#include <benchmark/benchmark.h>

#include "lws_log.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace quorvex::bench {

using Clock = std::chrono::steady_clock;

inline double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Reports the median and 99th percentile of per-iteration samples (µs).
inline void reportPercentiles(benchmark::State& state, std::vector<double> samples) {
    if (samples.empty()) return;
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

// main() of a benchmark program: libwebsockets' log lines are kept off the output.
inline int runBenchmarks(int argc, char** argv) {
    quorvex::test::captureLwsLog();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace quorvex::bench

#define QUORVEX_BENCHMARK_MAIN()                                                                        \
    int main(int argc, char** argv) { return quorvex::bench::runBenchmarks(argc, argv); }

#endif
