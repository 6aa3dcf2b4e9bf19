#!/usr/bin/env bash
# The main job: builds the library and shows it at work.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target quorvex quorvex_minimal_example bench_client >/dev/null
echo "== library"
ls -l build/default/src/libquorvex.so*
echo "== one benchmarked session against a loopback server"
build/default/bench/bench_client --benchmark_filter=SessionLatencies 2>/dev/null | tail -n 1
