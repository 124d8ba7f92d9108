#!/usr/bin/env bash
# The fault-finding campaign: mutants of a few seconds of synthetic music in
# eight format families (WAV 16-bit, WAV float/8-bit/extensible, AIFF, FLAC,
# MP3, Ogg Vorbis, Opus, M4A), each through plim-shazamkit (one process a
# file) and plim-catalog add and match (into a scratch catalog holding the
# seeds, many files a call), built with AddressSanitizer+UBSan in
# build-campaign/. A run is a fault when it dies by a signal, a sanitizer
# reports, it runs over --timeout seconds, holds over 1 GB resident, or a
# failure is not exactly one line free of control characters.
#   scripts/fault-campaign.sh [--mutants N] [--families wav16,mp3,...] [--jobs N]
#                             [--out DIR] [--minutes M] [--seed S] [--first N]
# Mutants are numbered; each is made from its number and --seed alone, so
#   scripts/fault-campaign.sh --families vorbis --first 4711 --mutants 1
# runs one again. Failing mutants are kept in OUT/failures/, one line each in
# OUT/failures.log, the table in OUT/summary.tsv; exit status 1 if any fault.
# See bench/README.md, "Fault campaign".
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh python3 ffmpeg

out=build-campaign/campaign
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    --out) out="${args[i + 1]}" ;;
    --out=*) out="${args[i]#--out=}" ;;
  esac
done

build="${PLIM_CAMPAIGN_BUILD_DIR:-build-campaign}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLIM_SANITIZE_ADDRESS=ON \
  -DPLIM_BUILD_TESTS=OFF > /dev/null
nice -n 10 cmake --build "$build" -j "$(nproc)" --target plim-shazamkit plim-catalog

# The programs under test are copied, so that a rebuild during a long
# campaign does not change them midway, and failures replay against them.
mkdir -p "$out/bin"
cp "$build/driver/plim-shazamkit" "$build/tools/plim-catalog/plim-catalog" "$out/bin/"

exec /usr/bin/python3 fuzz/campaign/fault_campaign.py \
  --shazamkit "$out/bin/plim-shazamkit" --catalog-tool "$out/bin/plim-catalog" \
  --suppressions fuzz/lsan_suppressions.txt "$@"
