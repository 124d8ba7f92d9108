#!/usr/bin/env bash
# The figures of bench/RESULTS.md's "Catalog stores at scale" section:
#
#   bash bench/store_scale.sh stores [HOURS]     LMDB against local Redis Clusters of
#                                                1, 3 and 6 masters (default 20 h each)
#   bash bench/store_scale.sh lmdb HOURS...      one-machine LMDB catalogs (e.g. 1000 8000)
#   bash bench/store_scale.sh redis HOURS        the Redis store (3 masters) at HOURS
#
# The corpus is the music of Debian's singularity-music, wesnoth-1.16-music
# and fretsonfire-songs-* packages (bash scripts/install-deps.sh PACKAGE...;
# those installed are used); queries are 10-s clips of up to 40 of its
# recordings, clean and under pink noise 6 dB below the music. Catalogs go
# under $PLIM_BENCH_DIR (/tmp/plim-store-scale); the LMDB ones are kept.
set -euo pipefail
cd "$(dirname "$0")/.."

what="${1:-stores}"
shift || true
work="${PLIM_BENCH_DIR:-/tmp/plim-store-scale}"
mkdir -p "$work/clips"
if [ ! -s "$work/corpus.txt" ]; then
  for package in singularity-music wesnoth-1.16-music fretsonfire-songs-muldjord \
    fretsonfire-songs-sectoid; do
    { dpkg -L "$package" 2> /dev/null || true; } | { grep '\.ogg$' || true; } |
      { grep -v -e '/guitar\.ogg$' -e '/rhythm\.ogg$' || true; } | while read -r file; do
        duration=$(soxi -D "$file" 2> /dev/null || echo 0)
        if [ -f "$file" ] && awk -v d="$duration" 'BEGIN {exit !(d >= 120)}'; then echo "$file"; fi
      done
  done | sort > "$work/corpus.txt"
fi
mapfile -t corpus < "$work/corpus.txt"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPLIM_BUILD_BENCHMARKS=ON > /dev/null
nice -n 10 cmake --build build -j2 --target store_scale > /dev/null
scale() { nice -n 10 build/bench/store_scale "$@"; }
# The title store_scale gives a corpus file: its name, or its folder's for a song.ogg.
store_title() {
  local base
  base=$(basename "$1" .ogg)
  [ "$base" = song ] && base=$(basename "$(dirname "$1")")
  echo "$base"
}

# The clips, made once.
if [ ! -s "$work/clips.tsv" ]; then
  sox -n -c 2 -r 44100 "$work/noise.wav" synth 10 pinknoise
  noise_rms=$(sox "$work/noise.wav" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
  printf '%s\n' "${corpus[@]}" | awk 'NR % 2 == 1' | head -40 | while read -r track; do
    title=$(store_title "$track")
    for offset in 40 120; do
      clip="$work/clips/$title-$offset.wav"
      sox "$track" -c 2 -r 44100 "$clip" trim "$offset" 10 2> /dev/null || continue
      [ "$(soxi -D "$clip")" = "10.000000" ] || continue
      music_rms=$(sox "$clip" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
      gain=$(awk -v m="$music_rms" -v n="$noise_rms" 'BEGIN {print m / n * 10 ^ (-6 / 20)}')
      sox -m "$clip" -v "$gain" "$work/noise.wav" "${clip%.wav}-noise.wav" 2> /dev/null
      printf '%s\t%s\n' "$clip" "$title" "${clip%.wav}-noise.wav" "$title" >> "$work/clips.tsv"
    done
  done
fi

# What the masters of the Redis catalog at LOCATION have sent and been
# sent so far: "BYTES COMMANDS" (INFO stats, summed over the masters).
redis_traffic() {
  local seed=${1#redis://}
  seed=${seed%%/*}
  redis-cli -h "${seed%:*}" -p "${seed#*:}" cluster nodes |
    awk '/master/ {split($2, address, "@"); print address[1]}' | while read -r node; do
      redis-cli -h "${node%:*}" -p "${node#*:}" info stats | tr -d '\r'
    done | awk -F: '/^total_net_output_bytes:/ {bytes += $2}
      /^total_commands_processed:/ {commands += $2} END {print bytes, commands}'
}

query() {  # LOCATION: 8 clients at once, then one
  local clients before after
  for clients in 8 1; do
    if [[ $1 == redis://* ]]; then before=$(redis_traffic "$1"); fi
    scale query "$1" "$clients" < "$work/clips.tsv"
    if [[ $1 == redis://* ]]; then
      after=$(redis_traffic "$1")
      # What the masters sent (the replies the clients read) and the
      # commands they ran, per query; opening the store included.
      echo "$clients $before $after $(wc -l < "$work/clips.tsv")" | awk '{printf "redis, %d clients: %.0f bytes sent, %.0f commands a query\n", $1, ($4 - $2) / $6, ($5 - $3) / $6}'
    fi
  done
}

case "$what" in
  stores)
    hours="${1:-20}"
    for writers in 1 2 4; do
      rm -rf "$work/lmdb-$hours-$writers"
      scale build "$work/lmdb-$hours-$writers" "$hours" "$writers" "${corpus[@]}"
    done
    query "$work/lmdb-$hours-4"
    for masters in 1 3 6; do
      location=$(PLIM_REDIS_PORT=7400 PLIM_REDIS_DIR="$work/redis" \
        bash scripts/redis-cluster.sh start "$masters" 0)
      for writers in 1 2 4; do
        scale build "${location%/*}/w$writers" "$hours" "$writers" "${corpus[@]}"
      done
      query "${location%/*}/w4"
      PLIM_REDIS_PORT=7400 PLIM_REDIS_DIR="$work/redis" bash scripts/redis-cluster.sh stop
    done
    ;;
  lmdb)
    for hours in "$@"; do
      [ -d "$work/lmdb-$hours" ] || scale build "$work/lmdb-$hours" "$hours" 2 "${corpus[@]}"
      du -sh "$work/lmdb-$hours"
      query "$work/lmdb-$hours"
    done
    ;;
  redis)
    location=$(PLIM_REDIS_PORT=7400 PLIM_REDIS_DIR="$work/redis" \
      bash scripts/redis-cluster.sh start 3 0)
    scale build "${location%/*}/big" "$1" 4 "${corpus[@]}"
    query "${location%/*}/big"
    PLIM_REDIS_PORT=7400 PLIM_REDIS_DIR="$work/redis" bash scripts/redis-cluster.sh stop
    ;;
  *)
    echo "usage: bench/store_scale.sh stores [HOURS] | lmdb HOURS... | redis HOURS" >&2
    exit 2
    ;;
esac
