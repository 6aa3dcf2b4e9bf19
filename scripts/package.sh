#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages libquorvex1, libquorvex-dev, quorvex-tools and
# python3-quorvex (CPack's python component) into
# build/package/debs (a release build installed under /usr), then checks them
# with lintian. Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
build=build/package
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUORVEX_WERROR=ON -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -rf "$build/debs"
cpack --config "$build/CPackConfig.cmake" -B "$build/debs"
rm -rf "$build/debs/_CPack_Packages"
echo "=== lintian"
if lintian "$build"/debs/*.deb | tee /dev/stderr | grep -q '^E: '; then
  echo "lintian found errors" >&2
  exit 1
fi
echo "=== packages"
ls -1 "$build"/debs/*.deb
echo "install with: sudo apt-get install ./$build/debs/*.deb"
echo "=== Windows zip"
scripts/windows/package_zip.sh
