#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs a test program in private mount and network namespaces whose only name
# server is 127.0.0.1:53, where the program itself listens and never answers:
# every DNS lookup hangs, while /etc/hosts names (localhost) still resolve.
set -euo pipefail
program=$1
resolv=$(mktemp)
trap 'rm -f "$resolv"' EXIT
printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:1\n' >"$resolv"
exec unshare --mount --net sh -c 'ip link set lo up && mount --bind "$1" /etc/resolv.conf && exec "$2"' sh "$resolv" "$program"
