#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what the build, the tests, the demo and the packages need, from Debian's packages.
# Usage: scripts/deps.sh [extra-package ...]
# Names carry no compiler version: libclang-rt-dev brings the sanitizer and
# fuzzer runtimes of whatever clang is the release's default (14 on Debian 12,
# 19 on Debian 13).
set -euo pipefail

packages=(cmake make g++ clang pkg-config libwebsockets-dev libwebsockets-evlib-uv libuv1-dev libc-ares-dev iproute2
          libjsoncpp-dev libgtest-dev
          libbenchmark-dev libclang-rt-dev openssl libssl-dev curl binutils tinyproxy
          libpocketsphinx-dev libsphinxbase-dev pocketsphinx-en-us pocketsphinx-testdata
          libsndfile1-dev libsoxr-dev sox libsox-fmt-mp3 haproxy dpkg-dev file lintian abigail-tools xz-utils
          python3-pytest python3-pytest-asyncio python3-numpy "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  retries=(-o Acquire::Retries=3) # a mirror's passing failure costs a retry, not the run
  "${sudo_cmd[@]}" apt-get "${retries[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get "${retries[@]}" install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
