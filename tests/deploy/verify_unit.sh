#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# systemd-analyze verify on the shipped unit, with ExecStart pointing at the
# server just built (verify insists that the program exists).
# Usage: verify_unit.sh UNIT SERVER_BINARY
set -euo pipefail
unit=$1 server=$2
if ! command -v systemd-analyze >/dev/null; then
  echo "skipped: systemd-analyze is not installed (Debian's systemd package has it)"
  exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
grep -q '^ExecStart=/usr/bin/quorvex-server ' "$unit" || { echo "no ExecStart=/usr/bin/quorvex-server in $unit"; exit 1; }
sed "s|^ExecStart=/usr/bin/quorvex-server |ExecStart=$server |" "$unit" > "$scratch/quorvex-server.service"
# Any remark about the unit counts as a failure, not only hard errors.
if ! output=$(systemd-analyze verify "$scratch/quorvex-server.service" 2>&1) || [[ -n $output ]]; then
  echo "systemd-analyze verify: ${output:-failed without a message}"
  exit 1
fi
echo "systemd-analyze verify: no remarks"
