#!/usr/bin/env bash
# The accuracy and speed benchmark on real music, through the real programs.
#   scripts/benchmark.sh             full run: writes bench/RESULTS.md and bench/plots/
#   scripts/benchmark.sh --quick     one excerpt per recording and condition, scale 1k only
#   scripts/benchmark.sh --smoke     a few recordings, < 2 min; exit 1 if clean clips are
#                                    missed or anything is matched wrongly (for CI)
#   scripts/benchmark.sh --generate-only   make the query clips and list them
#                                    (queries.tsv); builds and runs nothing
# Other options go to the harness: --jobs N, --scale 1000,10000[,100000], --cache DIR,
# --per-recording N, --conditions NAME,..., --packages NAME,...
# See bench/README.md, "Accuracy benchmark".
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh \
  wesnoth-1.16-music singularity-music fretsonfire-songs-muldjord fretsonfire-songs-sectoid \
  ufoai-music nexuiz-music espeak-ng python3 python3-matplotlib python3-numpy time

jobs=$(nproc)
generate_only=0
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    --jobs) jobs="${args[i + 1]}" ;;
    --jobs=*) jobs="${args[i]#--jobs=}" ;;
    --generate-only) generate_only=1 ;;
  esac
done

# Debian's interpreter, which sees python3-matplotlib and numpy whatever else is on PATH.
if [ "$generate_only" -eq 1 ]; then
  exec /usr/bin/python3 bench/accuracy/run.py "$@"
fi

build="${PLIM_BENCH_BUILD_DIR:-build-bench-acc}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPLIM_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" -j "$jobs" --target plim-shazamkit plim-catalog

exec /usr/bin/python3 bench/accuracy/run.py \
  --shazamkit "$build/driver/plim-shazamkit" \
  --catalog-tool "$build/tools/plim-catalog/plim-catalog" "$@"
