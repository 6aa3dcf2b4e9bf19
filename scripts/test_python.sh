#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Python package's tests (tests/python) against a build tree's library and
# quorvex-server (default build/default). Debian's interpreter is named: the
# test modules come from Debian packages (python3-pytest, python3-pytest-asyncio,
# python3-numpy), which another python3 first on PATH would not see.
# Fails when no test ran or any was skipped, as well as on any failure.
# Usage: scripts/test_python.sh [build-dir] [pytest arguments ...]   (run by scripts/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
shift || true
export QUORVEX_BUILD_DIR=$PWD/$build
# -p: a missing plugin fails here, rather than leaving the asyncio tests skipped.
exec /usr/bin/python3 -m pytest -p pytest_asyncio -p no:cacheprovider -q tests/python "$@"
