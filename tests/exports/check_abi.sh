#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Compares the ABI of the built library, as an application sees it through
# the installed headers, with the baseline stored for this Debian release:
# a harmful or incompatible change (a changed record, a removed symbol)
# fails; additions pass. After a change that is meant, scripts/update-abi.sh
# stores the new baseline. Usage: check_abi.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 source=$2
release=$(. /etc/os-release && echo "${ID}${VERSION_ID}")
baseline="$source/tests/exports/abi/libquorvex-$release.abi.xz"
if [[ ! -f $baseline ]]; then
  echo "no ABI baseline for $release: skipped"
  exit 77
fi
command -v abidiff >/dev/null || { echo "abidiff is missing: scripts/deps.sh installs abigail-tools"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null || { echo "cmake --install failed"; exit 1; }
xz -dc "$baseline" >"$work/baseline.abi"
library=$(find "$work/prefix" -name 'libquorvex.so.*.*.*' | head -1)
abidiff --no-show-locs "$work/baseline.abi" "$library"
status=$?
if ((status & 12)); then
  echo "the library's ABI differs from $baseline in a way that can break applications built against it"
  exit 1
fi
((status == 0)) || { echo "abidiff failed ($status)"; exit 1; }
echo "ABI as stored for $release (additions allowed)"
