#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The library on its own, as a project that embeds it would build it: tools and
# benchmarks off, and pkg-config shown libwebsockets, c-ares and libuv alone (so
# pocketsphinx cannot be found), with jsoncpp and GoogleTest as the only other
# packages used.
# Configures, builds, installs into a scratch prefix and runs the library's tests.
# Usage: scripts/test_library_only.sh [jobs]   (run by scripts/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-$(nproc)}
build=build/libonly
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

pc_dir=$scratch/pkgconfig
mkdir -p "$pc_dir"
for module in libwebsockets $(pkg-config --print-requires libwebsockets | cut -d' ' -f1) libcares libuv; do
  ln -s "$(pkg-config --variable=pcfiledir "$module")/$module.pc" "$pc_dir/"
done

rm -f "$build/CMakeCache.txt" # configured afresh each time; objects are reused
PKG_CONFIG_LIBDIR=$pc_dir cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_WERROR=ON \
  -DQUORVEX_BUILD_TOOLS=OFF -DQUORVEX_BUILD_BENCH=OFF -DQUORVEX_BUILD_TESTS=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$build" -j "$jobs"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for installed in include/quorvex/quorvex.h lib/cmake/quorvex/quorvexConfig.cmake; do
  [[ -n $(find "$scratch/prefix" -path "*/$installed") ]] || { echo "not installed: $installed" >&2; exit 1; }
done
ctest --test-dir "$build" -j "$((jobs * 2))" --output-on-failure --timeout 300
