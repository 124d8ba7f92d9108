#!/usr/bin/env bash
# The main job end to end: installs what plim needs, builds it, fills a
# catalog with the freely licensed music of Debian's singularity-music
# package, cuts a noisy 10-second clip from one track and identifies it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh singularity-music
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j "$(nproc)" --target plim-shazamkit plim-catalog

music=/usr/share/games/singularity/music
track="$music/Through Space.ogg"
# The demo keeps its own catalog, away from the user's, made afresh each run.
export PLIM_CATALOG="$PWD/build/demo-catalog"
rm -rf "$PLIM_CATALOG"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "\$ plim-catalog add $music"
build/tools/plim-catalog/plim-catalog add "$music"

echo
echo "A 10-second clip from 1:05 into \"Through Space\", with pink noise 6 dB below the music:"
sox "$track" -c 2 -r 44100 "$work/excerpt.wav" trim 65 10
sox -n -c 2 -r 44100 "$work/noise.wav" synth 10 pinknoise
music_rms=$(sox "$work/excerpt.wav" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
noise_rms=$(sox "$work/noise.wav" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
gain=$(awk -v m="$music_rms" -v n="$noise_rms" 'BEGIN {print m / n * 10 ^ (-6 / 20)}')
sox -m "$work/excerpt.wav" -v "$gain" "$work/noise.wav" "$work/clip.wav"

echo "\$ plim-shazamkit clip.wav"
build/driver/plim-shazamkit "$work/clip.wav"

echo
echo "The demo's catalog is $PLIM_CATALOG; look into it with"
echo "  build/tools/plim-catalog/plim-catalog --catalog \"$PLIM_CATALOG\" list"
