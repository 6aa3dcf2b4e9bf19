#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The system calls of the paced threads while compare_floor runs: the
# library's session on its own thread ("paced-session") and the plain
# lock-copy-eventfd hand-off beside it ("paced-plain"), each traced by
# `perf trace -s -t` for as long as it lives (every round's child anew).
#   bench/compare/trace_paced.sh build/default 1001 5 2 quorvex paced [slow]
# Prints compare_floor's tables, then each thread's system-call summary.
set -eu
build="$1"
shift
out=$(mktemp -d)
"$build/bench/compare_floor" "$@" >"$out/bench.txt" 2>&1 &
bench=$!
traced=""
tracers=""
while kill -0 "$bench" 2>/dev/null; do
    for comm in /proc/[0-9]*/task/[0-9]*/comm; do
        name=$(cat "$comm" 2>/dev/null) || continue
        case "$name" in paced-session | paced-plain) ;; *) continue ;; esac
        tid=$(basename "$(dirname "$comm")")
        case " $traced " in *" $tid "*) continue ;; esac
        traced="$traced $tid"
        perf trace -s -t "$tid" -o "$out/$name.$tid.txt" 2>/dev/null &
        tracers="$tracers $tid:$!"
    done
    for pair in $tracers; do
        tid=${pair%%:*}
        [ -d "/proc/$tid" ] || kill -INT "${pair#*:}" 2>/dev/null || true
    done
    sleep 0.02
done
wait "$bench" || true
for pair in $tracers; do kill -INT "${pair#*:}" 2>/dev/null || true; done
wait
cat "$out/bench.txt"
for file in "$out"/paced-*.txt; do
    [ -f "$file" ] || continue
    echo
    echo "== $(basename "$file" .txt)"
    grep -E "^ +(syscall|-+|[a-z_0-9]+ +[0-9])" "$file" || echo "(no system calls)"
done
rm -rf "$out"
