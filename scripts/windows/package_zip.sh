#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# quorvex-<version>-win64.zip from the "windows" preset: quorvex.dll, its
# import library quorvex.lib, the headers, the C example as
# quorvex-transcribe-raw.exe, and the licences of what the DLL links in (the
# Debian copyright files of the source packages it was built from, as their
# binary packages install them). Usage: scripts/windows/package_zip.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/windows-deps.sh >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target quorvex quorvex_c_example
version=$(sed -n 's/^project(quorvex VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=quorvex-$version-win64
stage=build/windows/zip/$name
rm -rf build/windows/zip
mkdir -p "$stage/bin" "$stage/lib" "$stage/licenses"
cmake --install build/windows --prefix "$stage" --component dev >/dev/null
rm -rf "$stage/lib/cmake" "$stage/lib/pkgconfig" # they name this machine's paths
cp build/windows/src/quorvex.dll "$stage/bin/"
cp build/windows/src/quorvex.lib "$stage/lib/"
cp build/windows/examples/quorvex_c_example.exe "$stage/bin/quorvex-transcribe-raw.exe"
x86_64-w64-mingw32-strip "$stage/bin/"*.{dll,exe}
cp LICENSE "$stage/licenses/quorvex.txt"
# Debian's copyright file of each source package linked into the DLL.
declare -A packages=([openssl]=libssl-dev [libuv]=libuv1-dev [c-ares]=libc-ares-dev [jsoncpp]=libjsoncpp-dev
                     [libwebsockets]=libwebsockets-dev [gcc-runtime]=gcc-mingw-w64-base
                     [mingw-w64-winpthreads]=mingw-w64-x86-64-dev)
for component in "${!packages[@]}"; do
  cp "/usr/share/doc/${packages[$component]}/copyright" "$stage/licenses/$component.txt"
done
cp /var/cache/quorvex-mingw/current/versions.txt "$stage/licenses/built-from.txt"
(cd build/windows/zip && rm -f "$name.zip" && zip -qr "$name.zip" "$name")
unzip -l "build/windows/zip/$name.zip"
echo "build/windows/zip/$name.zip"
