#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Cross-builds quorvex's dependencies for 64-bit Windows (x86_64-w64-mingw32,
# posix threads, static libraries) from the Debian source packages of the
# release this runs on, with the patches in scripts/windows/patches applied.
# The result is cached under /var/cache/quorvex-mingw/<key>, the key made from
# the source versions, the compiler, the patches, the toolchain file and the
# recipe number below, so a second run only checks the key. /var/cache/quorvex-mingw/current points at
# the last prefix built; the "windows" preset uses it.
# Usage: scripts/windows-deps.sh            (prints the prefix last)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
cache=${QUORVEX_MINGW_CACHE:-/var/cache/quorvex-mingw}
toolchain=$root/cmake/mingw-w64.cmake
patches=$here/windows/patches
jobs=${JOBS:-2}
# Part of the cache key with the versions and the patches: raise it when a
# change here changes what is built.
recipe=2
triplet=x86_64-w64-mingw32
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)

step_start=0
step() { step_start=$(date +%s.%N); echo "== $*"; }
step_done() { printf '   %.1f s\n' "$(echo "$(date +%s.%N) - $step_start" | bc)"; }
apt() { DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o Acquire::Retries=3 "$@"; }

# The binary package whose Source: field names each source package we build.
declare -A binary_of=([openssl]=libssl-dev [libuv1]=libuv1-dev [c-ares]=libc-ares-dev
                      [libjsoncpp]=libjsoncpp-dev [libwebsockets]=libwebsockets-dev [googletest]=googletest)
sources=(openssl libuv1 c-ares libjsoncpp libwebsockets googletest)

# The source version of the installed binary package (what the Linux build
# links), else of the candidate: a Source: field carries it when it differs.
source_version() {
  local fields source version
  if version=$(dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null) && [[ -n $version ]]; then
    echo "$version"
    return
  fi
  fields=$(apt-cache show --no-all-versions "$1")
  version=$(sed -n 's/^Version: //p' <<<"$fields" | head -1)
  source=$(sed -n 's/^Source: //p' <<<"$fields" | head -1)
  if [[ $source =~ \((.*)\) ]]; then version=${BASH_REMATCH[1]}; fi
  echo "$version"
}

step "tools"
tools=(mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 cmake make perl dpkg-dev bc patch)
missing=()
for package in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "   installing: ${missing[*]}"
  apt update -qq
  apt install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
step_done

declare -A version_of
key_text="compiler $($triplet-gcc-posix -dumpversion) $(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev)"$'\n'
for source in "${sources[@]}"; do
  version_of[$source]=$(source_version "${binary_of[$source]}")
  key_text+="$source ${version_of[$source]}"$'\n'
done
key_text+="recipe $recipe"$'\n'
key_text+=$(cd "$root" && sha256sum cmake/mingw-w64.cmake scripts/windows/patches/*.patch)
key=$(sha256sum <<<"$key_text" | cut -c1-16)
prefix=$cache/$key
if [[ -f $prefix/.complete ]]; then
  ln -sfn "$key" "$cache/current"
  echo "cached: $prefix"
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d /tmp/quorvex-mingw.XXXXXX)
src_entry=/etc/apt/sources.list.d/quorvex-deb-src.sources
cleanup() {
  rm -rf "$work"
  if [[ -f $src_entry ]]; then
    "${sudo_cmd[@]}" rm -f "$src_entry" "${src_entry%.sources}.list"
    apt update -qq || true
  fi
}
trap cleanup EXIT

step "sources"
if ! apt-get source --print-uris -qq "openssl=${version_of[openssl]}" >/dev/null 2>&1; then
  # The release's own suites and mirrors (a fix may come from its security
  # suite): its deb entries, as deb-src.
  {
    for f in /etc/apt/sources.list.d/*.sources; do
      if [[ -f $f && $f != "$src_entry" ]]; then sed 's/^Types:.*/Types: deb-src/' "$f"; echo; fi
    done
  } | "${sudo_cmd[@]}" tee "$src_entry" >/dev/null
  if [[ -f /etc/apt/sources.list ]]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | "${sudo_cmd[@]}" tee "${src_entry%.sources}.list" >/dev/null
  fi
  apt update -qq
fi
# The version the release gives; if its mirror lacks that source (seen with
# a security suite's newest), the newest it serves, said aloud.
fetch_source() {
  local source=$1 want=$2 version
  local versions=("$want")
  mapfile -t -O 1 versions < <(apt-cache showsrc "$source" | sed -n 's/^Version: //p' | sort -u | sort -r -V)
  for version in "${versions[@]}"; do
    # It warns that it downloads "unsandboxed as root": harmless here.
    if (cd "$work" && apt-get source -qq "$source=$version" >>"$work/sources.log" 2>&1); then
      [[ $version == "$want" ]] || echo "   $source $want is not served: built $version instead"
      echo "$source $version" >>"$work/fetched.txt"
      built_version[$source]=$version
      return 0
    fi
    rm -rf "$work/$source"[-_]*
  done
  cat "$work/sources.log"
  exit 1
}
declare -A built_version
for source in "${sources[@]}"; do
  fetch_source "$source" "${version_of[$source]}"
done
step_done

dir_of() { find "$work" -maxdepth 1 -mindepth 1 -type d -name "$1-*" | head -1; }
# Installed in place (the packages' CMake and pkg-config files record the
# prefix); .complete marks a finished one.
staging=$prefix
rm -rf "$staging"
mkdir -p "$staging"
export QUORVEX_MINGW_PREFIX=$staging

cmake_build() { # name source-dir cmake-options...
  local name=$1 dir=$2
  shift 2
  cmake -S "$dir" -B "$work/build-$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$staging" -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_TESTING=OFF "$@" >"$work/$name.log" 2>&1 &&
    cmake --build "$work/build-$name" -j"$jobs" >>"$work/$name.log" 2>&1 &&
    cmake --install "$work/build-$name" >>"$work/$name.log" 2>&1 || { tail -40 "$work/$name.log"; exit 1; }
}

windows_libs="-lws2_32 -lcrypt32 -lgdi32 -ladvapi32 -luser32 -lbcrypt -liphlpapi -luserenv"

step "openssl ${built_version[openssl]}"
# no-pinshared: by default libcrypto pins the module it is linked into
# (GetModuleHandleEx ... PIN), which would keep quorvex.dll loaded after
# FreeLibrary for the life of the process.
(cd "$(dir_of openssl)" &&
  ./Configure mingw64 CC=$triplet-gcc-posix AR=$triplet-ar RANLIB=$triplet-ranlib RC=$triplet-windres \
    no-shared no-tests no-module no-legacy no-pinshared --prefix="$staging" --libdir=lib >"$work/openssl.log" 2>&1 &&
  make -j"$jobs" build_libs >>"$work/openssl.log" 2>&1 &&
  make install_dev >>"$work/openssl.log" 2>&1) || { tail -40 "$work/openssl.log"; exit 1; }
step_done

step "libuv ${built_version[libuv1]}"
cmake_build libuv "$(dir_of libuv1)" -DLIBUV_BUILD_TESTS=OFF -DLIBUV_BUILD_BENCH=OFF
# Only the static library: a DLL beside it would be picked by the linker.
rm -f "$staging"/lib/libuv.dll.a "$staging"/bin/libuv.dll "$staging"/bin/uv.dll
step_done

step "c-ares ${built_version[c-ares]}"
# Debian's patches use INADDRSZ, which MinGW's headers lack.
cmake_build c-ares "$(dir_of c-ares)" -DCARES_STATIC=ON -DCARES_SHARED=OFF -DCARES_BUILD_TOOLS=OFF \
  -DCARES_BUILD_TESTS=OFF -DCMAKE_C_FLAGS=-DINADDRSZ=4
step_done

step "jsoncpp ${built_version[libjsoncpp]}"
cmake_build jsoncpp "$(dir_of libjsoncpp)" -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF \
  -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DJSONCPP_WITH_EXAMPLE=OFF
step_done

step "libwebsockets ${built_version[libwebsockets]}"
lws_dir=$(dir_of libwebsockets)
for p in "$patches"/libwebsockets-*.patch; do
  patch -d "$lws_dir" -p1 -s <"$p"
done
# The OpenSSL list is typed: untyped, CMake turns the -l names into paths and
# libwebsockets' feature checks then fail quietly (it decides HMAC_CTX_new is missing).
lws_ssl="$staging/lib/libssl.a;$staging/lib/libcrypto.a;${windows_libs// /;}"
cmake_build libwebsockets "$lws_dir" -DLWS_WITH_LIBUV=ON -DLWS_WITH_EVLIB_PLUGINS=OFF -DLWS_WITH_SSL=ON \
  -DLWS_WITH_STATIC=ON -DLWS_WITH_SHARED=OFF -DDISABLE_WERROR=ON -DLWS_WITHOUT_TESTAPPS=ON \
  -DLWS_WITH_MINIMAL_EXAMPLES=OFF -DLWS_IPV6=ON \
  -DLWS_OPENSSL_INCLUDE_DIRS="$staging/include" -DLWS_OPENSSL_LIBRARIES:STRING="$lws_ssl" \
  -DLWS_LIBUV_INCLUDE_DIRS="$staging/include" -DLWS_LIBUV_LIBRARIES="$staging/lib/libuv_a.a" \
  -DCMAKE_C_STANDARD_LIBRARIES="$windows_libs"
step_done

step "googletest ${built_version[googletest]}"
cmake_build googletest "$(dir_of googletest)" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
step_done

{ printf '%s\n' "$key_text"; echo "fetched:"; cat "$work/fetched.txt"; } >"$staging/versions.txt"
touch "$staging/.complete"
ln -sfn "$key" "$cache/current"
echo "$prefix"
