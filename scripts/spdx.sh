#!/usr/bin/env bash
# Puts "SPDX-License-Identifier: Apache-2.0" at the top of every tracked
# source file that lacks it: "//" in C and C++, "#" in shell and CMake (after
# a "#!" line). Running it again changes nothing. Usage: scripts/spdx.sh
set -euo pipefail
cd "$(dirname "$0")/.."
tag='SPDX-License-Identifier: Apache-2.0'
changed=0
while IFS= read -r -d '' file; do
  [[ -f $file ]] || continue
  head -n 3 "$file" | grep -q 'SPDX-License-Identifier:' && continue
  case $file in
    *.c | *.cc | *.cpp | *.h | *.hpp) comment="// $tag" ;;
    *.sh | *.cmake | *.cmake.in | */CMakeLists.txt | CMakeLists.txt) comment="# $tag" ;;
    *) continue ;;
  esac
  tmp=$(mktemp)
  if head -n 1 "$file" | grep -q '^#!'; then
    { head -n 1 "$file"; echo "$comment"; tail -n +2 "$file"; } >"$tmp"
  else
    { echo "$comment"; cat "$file"; } >"$tmp"
  fi
  cat "$tmp" >"$file" # keeps the file's mode (scripts stay executable)
  rm -f "$tmp"
  changed=$((changed + 1))
done < <(git ls-files -z)
echo "spdx: $changed file(s) given the header"
