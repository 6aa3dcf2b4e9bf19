#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Stores the ABI of the default build as this Debian release's baseline
# (tests/exports/abi/), after a change to the interface that is meant.
# Usage: scripts/update-abi.sh   (after cmake --build --preset default)
set -euo pipefail
cd "$(dirname "$0")/.."
release=$(. /etc/os-release && echo "${ID}${VERSION_ID}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install build/default --prefix "$work/prefix" >/dev/null
library=$(find "$work/prefix" -name 'libquorvex.so.*.*.*' | head -1)
abidw --no-show-locs --out-file "$work/quorvex.abi" "$library"
xz -9 -c "$work/quorvex.abi" >"tests/exports/abi/libquorvex-$release.abi.xz"
echo "stored tests/exports/abi/libquorvex-$release.abi.xz"
