#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: real recorded speech (Debian's pocketsphinx-testdata) turned
# into text through the library and the reference recognition server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
echo "== building"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target quorvex-transcribe quorvex-server >/dev/null
recordings=/usr/share/pocketsphinx/test/data/librivox
echo "== transcribing $(ls "$recordings"/*.wav | wc -l) librivox recordings (embedded server, pocketsphinx engine)"
build/default/tools/quorvex-transcribe "$recordings"/*.wav
echo "== what was said"
sed -e 's/<s> //' -e 's/ <\/s>.*//' "$recordings/transcription"
