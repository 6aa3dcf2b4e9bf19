#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Windows stage: the dependencies cross-built from Debian's sources
# (cached, scripts/windows-deps.sh), the "windows" preset (quorvex.dll, the
# client suites, the C programs), every installed header parsed with a
# Microsoft-ABI compiler, a Microsoft-ABI program linked with lld-link, and
# all of them run under Wine against Linux servers on 127.0.0.1
# (scripts/windows/wine_checks.py). Run by scripts/test.sh
# (QUORVEX_SKIP_WINDOWS=1 leaves it out). Needs the default preset's
# quorvex-server, which it builds if missing.
# Usage: scripts/windows-test.sh [jobs]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-$(nproc)}
wine=/usr/lib/wine/wine64
export WINEDEBUG=-all WINEPREFIX=${QUORVEX_WINEPREFIX:-/var/cache/quorvex-wine}
stage_began=$(date +%s)
took() { echo "--- windows: $1 took $(($(date +%s) - stage_began)) s"; stage_began=$(date +%s); }
fail() { echo "windows stage: $*" >&2; exit 1; }

# The Microsoft-ABI tools (wine64 and MinGW come with windows-deps.sh).
missing=()
for package in clang lld llvm; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o Acquire::Retries=3 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
fi
scripts/windows-deps.sh >/tmp/quorvex-windows-deps.log 2>&1 || { cat /tmp/quorvex-windows-deps.log; fail "the dependencies did not build"; }
took "dependencies"

# Wine first: a machine that cannot run it fails here, saying why.
[[ -x $wine ]] || fail "Wine cannot start: $wine is missing (Debian's wine64 package installs it)"
if ! started=$(timeout 120 "$wine" cmd /c echo wine-ok 2>&1) || [[ $started != *wine-ok* ]]; then
  fail "Wine cannot start a program in $WINEPREFIX: $started"
fi
"${wine%64}server64" -p 2>/dev/null || true # kept up for the run: each program starts in well under a second
stop_wineserver() { "${wine%64}server64" -k 2>/dev/null || true; }
trap stop_wineserver EXIT
took "Wine start"

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
if [[ ! -x build/default/tools/quorvex-server ]]; then
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$jobs" --target quorvex-server
fi
took "builds"

# Every installed header with a Microsoft-ABI compiler. No MSVC library is
# here: the C++ headers see MinGW's libstdc++ headers, the C header none.
# Those stand-ins parse in that mode only as far as <cstddef> and <cstdint>:
# the websocket wrapper's headers, which need <string> and the like, are
# checked only for what they themselves give the compiler. GCC's attribute
# syntax, which MSVC refuses, must come from none of ours.
msvc=(clang --target=x86_64-pc-windows-msvc -Werror -I build/windows/headers/include)
gcc_include=$(echo /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++)
cxx=(-x c++ -std=c++17 -D__STRICT_ANSI__ -D_GLIBCXX_HAS_GTHREADS -isystem "$gcc_include"
     -isystem "$gcc_include/x86_64-w64-mingw32" -isystem /usr/x86_64-w64-mingw32/include)
rm -rf build/windows/headers
cmake --install build/windows --prefix build/windows/headers --component dev >/dev/null
for header in build/windows/headers/include/quorvex/*.h build/windows/headers/include/quorvex/*/*.h; do
  language=("${cxx[@]}")
  [[ $header == */quorvex_c.h ]] && language=(-ffreestanding -x c -std=c99)
  if ! grep -qE '#include <(string|functional|mutex|memory|set|vector|atomic)>' "$header"; then
    "${msvc[@]}" -fsyntax-only "${language[@]}" -I "$(dirname "$header")" "$header" ||
      fail "$header does not parse with a Microsoft-ABI compiler"
  fi
  "${msvc[@]}" -E "${language[@]}" -I "$(dirname "$header")" "$header" |
    awk '/^# [0-9]+ "/ { ours = index($3, "headers/include/quorvex") > 0; next }
         ours && /__attribute__/ { print; found = 1 } END { exit found }' ||
    fail "$header gives a Microsoft-ABI compiler GCC's __attribute__"
done
echo "the installed headers parse with clang --target=x86_64-pc-windows-msvc"

# An application of Microsoft's ABI: no C run-time, kernel32 and quorvex.dll.
out=build/windows/msvc
mkdir -p "$out"
printf 'LIBRARY kernel32.dll\nEXPORTS\n%s\n' GetStdHandle WriteFile ExitProcess LoadLibraryA GetProcAddress \
  FreeLibrary CreateToolhelp32Snapshot Thread32First Thread32Next CloseHandle GetCurrentProcessId \
  GetModuleHandleExA GetCommandLineA >"$out/kernel32.def"
llvm-dlltool -m i386:x86-64 -d "$out/kernel32.def" -l "$out/kernel32.lib"
for variant in import load; do
  define=()
  [[ $variant == import ]] && define=(-DQV_IMPORT_LIBRARY)
  clang --target=x86_64-pc-windows-msvc -ffreestanding -O1 -Wall -Wextra -Werror -I include "${define[@]}" \
    -c tests/windows/msvc_session.c -o "$out/msvc_$variant.obj"
  libraries=("$out/kernel32.lib")
  [[ $variant == import ]] && libraries+=(build/windows/src/quorvex.lib)
  lld-link /nologo /nodefaultlib /subsystem:console /entry:mainCRTStartup /out:"$out/msvc_$variant.exe" \
    "$out/msvc_$variant.obj" "${libraries[@]}"
done
took "header check and Microsoft-ABI program"

# The DLL beside every program that loads it.
for folder in build/windows/tests/windows build/windows/examples "$out"; do
  cp build/windows/src/quorvex.dll "$folder/"
done
python3 scripts/windows/wine_checks.py build/windows build/default/tools/quorvex-server "$wine"
took "checks under Wine"
