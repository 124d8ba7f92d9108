#!/usr/bin/env bash
# The main job end to end: installs what plim needs, builds it, and runs
# plim-shazamkit on a generated clip, showing exactly what it prints.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j "$(nproc)" --target plim-shazamkit

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -loglevel error -f lavfi -i "sine=frequency=440:duration=10" "$work/clip.wav"
echo "\$ plim-shazamkit clip.wav"
set +e
build/driver/plim-shazamkit "$work/clip.wav"
echo "(exit status $?)"
