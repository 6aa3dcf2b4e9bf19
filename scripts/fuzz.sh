#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the frame classifier fuzzer for a bounded time; fails on any finding.
# Usage: scripts/fuzz.sh [seconds]   (needs the 'fuzz' preset built)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
work=build/fuzz/corpus
mkdir -p "$work" build/fuzz/findings
build/fuzz/tests/fuzz/classify_fuzzer "$work" tests/fuzz/corpus \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
  -artifact_prefix=build/fuzz/findings/ -print_final_stats=1 2>build/fuzz/fuzz.log || {
  tail -n 60 build/fuzz/fuzz.log
  echo "fuzzer found a failure; reproducer under build/fuzz/findings/" >&2
  exit 1
}
grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' build/fuzz/fuzz.log || true
grep -E '^#[0-9]+.*DONE' build/fuzz/fuzz.log | tail -n 1 || true
