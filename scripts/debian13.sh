#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds and tests the project on Debian 13 (trixie) as a new user there would:
# a minimal root made with debootstrap from the mirror apt already uses here,
# the repository copied in, scripts/deps.sh, the default build and its tests,
# the Python package's tests included.
# The root (with what deps.sh installed, and the build's objects) is kept in
# QUORVEX_DEBIAN13_ROOT (default /var/cache/quorvex-debian13) and reused.
# Nothing is left mounted or running in the root afterwards, whatever failed.
# Usage: scripts/debian13.sh [jobs] [prepare]   (needs root; run by scripts/test.sh)
#   prepare: make or update the cached root and stop before the build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-$(nproc)}
prepare_only=${2:-}
cache=${QUORVEX_DEBIAN13_ROOT:-/var/cache/quorvex-debian13}
root=$cache/root
[[ $(id -u) -eq 0 ]] || { echo "debian13.sh needs root (debootstrap, chroot, mounts)" >&2; exit 1; }

stamp() { date +%s; }
took() { echo "--- debian13: $1 took $(($(stamp) - $2)) s"; }

# The Debian mirror of the first deb.debian.org-style source apt uses here.
mirror() {
  local uri
  uri=$(grep -rhoE '^(URIs:|deb)[[:space:]]+(\[[^]]*\][[:space:]]+)?[a-z]+://[^[:space:]]+/debian/?([[:space:]]|$)' \
          /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null |
        grep -oE '[a-z]+://[^[:space:]]+' | head -n 1 || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
  mounted=()
}
# Processes whose root is the chroot (a test server a failed test left behind).
kill_leftovers() {
  local signal=$1 pid link found=1
  for pid in /proc/[0-9]*; do
    link=$(readlink "$pid/root" 2>/dev/null) || continue
    [[ $link == "$root" ]] || continue
    found=0
    kill "-$signal" "${pid#/proc/}" 2>/dev/null || true
  done
  return $found
}
cleanup() {
  local tries
  if kill_leftovers TERM; then
    for tries in 1 2 3 4 5 6 7 8 9 10; do
      kill_leftovers 0 || break
      sleep 0.2
    done
    kill_leftovers KILL || true
  fi
  unmount_all
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_in() { mkdir -p "${@: -1}"; mount "$@" && mounted+=("${@: -1}"); }
enter() {
  # The root on itself: unshare --mount (the hung-lookup test) makes "/"
  # private, which fails where "/" is no mount point.
  mount_in --bind "$root" "$root"
  mount --make-private "$root"
  mount_in -t proc proc "$root/proc"
  mount_in --bind /dev "$root/dev"
  mount_in --bind /dev/pts "$root/dev/pts"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
}
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
              HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive bash -c "$1"; }

start=$(stamp)
if [[ ! -f $cache/debootstrap.done ]]; then
  command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  t=$(stamp)
  # A second try, from scratch: a mirror's passing failure should not fail the run.
  for attempt in 1 2; do
    rm -rf "$root"
    mkdir -p "$root"
    echo "=== debian13: debootstrap --variant=minbase trixie from $(mirror) (try $attempt)"
    debootstrap --variant=minbase trixie "$root" "$(mirror)" >"$cache/debootstrap.log" 2>&1 && break
    tail -n 20 "$cache/debootstrap.log"
    ((attempt < 2)) || exit 1
  done
  touch "$cache/debootstrap.done"
  took debootstrap "$t"
fi

enter
t=$(stamp)
# What a user copies: the tracked and new files, not this machine's build trees.
# Kept times let make reuse the objects of the previous run.
mkdir -p "$root/src/quorvex"
find "$root/src/quorvex" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
git ls-files -z --cached --others --exclude-standard | tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xpf - -C "$root/src/quorvex"
took "copying the repository" "$t"

t=$(stamp)
echo "=== debian13: scripts/deps.sh"
in_root 'cd /src/quorvex && scripts/deps.sh'
took deps.sh "$t"
[[ $prepare_only != prepare ]] || exit 0

status=0
t=$(stamp)
echo "=== debian13: default: configure and build"
in_root "cd /src/quorvex && cmake --preset default >/dev/null && cmake --build --preset default -j $jobs" || status=$?
took "default build" "$t"

if ((status == 0)); then
  t=$(stamp)
  echo "=== debian13: default: test"
  in_root "cd /src/quorvex && ctest --preset default -j $((jobs * 2))" || status=$?
  took "default tests" "$t"
  t=$(stamp)
  echo "=== debian13: python: pytest against the default build"
  in_root "cd /src/quorvex && scripts/test_python.sh" || status=$?
  took "python tests" "$t"
fi
took "the whole Debian 13 stage" "$start"
exit "$status"
