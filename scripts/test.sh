#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and runs every
# test in a normal build, under AddressSanitizer+UBSan, under ThreadSanitizer,
# proves the library builds, installs and passes its tests on its own, and runs
# the protocol fuzzer for a bounded time. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
jobs=$(nproc)
fuzz_seconds=${QUORVEX_FUZZ_SECONDS:-60}

echo "=== library only: configure without tools or benchmarks, build, install, test"
scripts/test_library_only.sh "$jobs"

for preset in default asan tsan; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== ${preset}: test"
  ctest --preset "$preset" -j "$jobs"
done

if [[ -f tests/fuzz/CMakeLists.txt ]]; then
  echo "=== fuzz: ${fuzz_seconds}s over the frame classifier and decoders"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  scripts/fuzz.sh "$fuzz_seconds"
fi
echo "=== all suites passed"
