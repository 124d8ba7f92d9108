#!/usr/bin/env bash
# Builds the Debian package of both programs in build/ (the Release build
# scripts/test.sh makes) and prints its path: build/plim_VERSION_ARCH.deb.
# Install it with: sudo apt-get install ./build/plim_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j "$(nproc)" --target plim-shazamkit plim-catalog plim_avfaudio_ffmpeg
rm -f build/plim_*.deb
(cd build && cpack -G DEB > /dev/null)
ls build/plim_*.deb
