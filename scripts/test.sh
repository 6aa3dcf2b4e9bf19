#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The whole test suite: installs what is missing, then builds and runs every
# test in a normal build, under AddressSanitizer+UBSan, under ThreadSanitizer,
# proves the library builds, installs and passes its tests on its own, and runs
# the protocol fuzzer for a bounded time, runs the Python package's tests
# against the default build, then builds and tests the default
# preset again on Debian 13 in a cached minimal root (scripts/debian13.sh;
# QUORVEX_SKIP_DEBIAN13=1 leaves it out), and runs the Windows build under
# Wine (scripts/windows-test.sh; QUORVEX_SKIP_WINDOWS=1 leaves it out).
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each stage's time, so that a slow run shows where its time went.
began=$(date +%s)
stage_began=$began
took() {
  echo "--- $1 took $(($(date +%s) - stage_began)) s"
  stage_began=$(date +%s)
}

scripts/deps.sh
took deps.sh
jobs=$(nproc)
fuzz_seconds=${QUORVEX_FUZZ_SECONDS:-30}
# Most tests wait on sockets and deadlines, not on a core.
test_jobs=$((jobs * 2))

# Debian 13's root is made (or brought up to date) meanwhile: mostly downloads,
# which the builds below need not wait for.
debian13_log=$(mktemp)
debian13_prepare=
if [[ -z ${QUORVEX_SKIP_DEBIAN13:-} ]]; then
  scripts/debian13.sh "$jobs" prepare >"$debian13_log" 2>&1 &
  debian13_prepare=$!
fi
stop_prepare() {
  if [[ -n $debian13_prepare ]] && kill -0 "$debian13_prepare" 2>/dev/null; then
    kill "$debian13_prepare" 2>/dev/null || true
    wait "$debian13_prepare" 2>/dev/null || true
  fi
  rm -f "$debian13_log"
}
trap stop_prepare EXIT

echo "=== library only: configure without tools or benchmarks, build, install, test"
scripts/test_library_only.sh "$jobs"
took "library only"

for preset in default asan tsan; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  took "${preset} build"
  echo "=== ${preset}: test"
  ctest --preset "$preset" -j "$test_jobs"
  took "${preset} tests"
  if [[ $preset == default ]]; then
    # The Python package is pure Python over the default build's library; the C
    # interface it calls runs under the sanitizers in the C tests, so the
    # sanitizer builds need no Python run (their runtimes cannot be loaded
    # into an interpreter without preloading).
    echo "=== python: pytest against the default build"
    scripts/test_python.sh
    took "python tests"
  fi
done

if [[ -f tests/fuzz/CMakeLists.txt ]]; then
  echo "=== fuzz: ${fuzz_seconds}s over the frame classifier and decoders"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  scripts/fuzz.sh "$fuzz_seconds"
  took "fuzz build and run"
fi
if [[ -n $debian13_prepare ]]; then
  echo "=== debian 13: the default build and its tests in a minimal trixie root"
  prepared=0
  wait "$debian13_prepare" || prepared=$?
  debian13_prepare=
  cat "$debian13_log"
  ((prepared == 0)) || { echo "the Debian 13 root could not be prepared" >&2; exit 1; }
  scripts/debian13.sh "$jobs"
  took "Debian 13 stage"
fi
if [[ -z ${QUORVEX_SKIP_WINDOWS:-} ]]; then
  echo "=== windows: quorvex.dll, its suites and programs under Wine against Linux servers"
  scripts/windows-test.sh "$jobs"
  took "Windows stage"
fi
echo "=== all suites passed in $(($(date +%s) - began)) s"
