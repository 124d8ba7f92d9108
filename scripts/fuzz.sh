#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer+UBSan) in
# build-fuzz/ and runs each for a given time on a corpus that starts from
# seeds made here from synthetic audio, every past defect included (nothing
# is committed):
#   scripts/fuzz.sh [SECONDS_EACH] [TARGET...]
# Targets: audio_file_fuzzer (any bytes as an audio file: the WAV reader,
# FFmpeg and libvorbisfile), signature_fuzzer (signature data),
# catalog_record_fuzzer (the catalog's stored values). Findings
# land in build-fuzz/findings/TARGET/; the exit status is 1 if any.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(audio_file_fuzzer signature_fuzzer catalog_record_fuzzer)

dir=build-fuzz
cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLIM_BUILD_FUZZERS=ON -DPLIM_BUILD_TESTS=OFF > /dev/null
nice -n 10 cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}" make_fuzz_seeds

seeds="$dir/seeds"
if [ ! -d "$seeds/catalog_record_fuzzer" ]; then
  mkdir -p "$seeds/audio_file_fuzzer" "$seeds/signature_fuzzer" "$seeds/catalog_record_fuzzer"
  # A fifth of a second of a chord, in every family the decoder meets.
  source=(-f lavfi -i "aevalsrc=0.3*sin(2*PI*440*t)+0.2*sin(2*PI*1250*t):s=22050:d=0.2")
  while read -r name args; do
    # shellcheck disable=SC2086
    ffmpeg -nostdin -loglevel error -y "${source[@]}" $args "$seeds/audio_file_fuzzer/$name"
  done <<'LIST'
s16.wav -c:a pcm_s16le
u8.wav -c:a pcm_u8
s24-stereo.wav -ac 2 -c:a pcm_s24le
f32.wav -c:a pcm_f32le
adpcm.wav -c:a adpcm_ima_wav
a.aiff -c:a pcm_s16be
a.flac -c:a flac
a.mp3 -c:a libmp3lame -b:a 32k
a.ogg -c:a libvorbis
a.opus -c:a libopus -b:a 16k
a.m4a -c:a aac -b:a 32k
LIST
  # And every kind of damage that once crashed, ballooned or misled.
  "$dir/fuzz/make_fuzz_seeds" "$seeds/signature_fuzzer" "$seeds/audio_file_fuzzer" \
    "$seeds/catalog_record_fuzzer"
fi

# Leaks inside system libraries that no caller can release (see the file).
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan_suppressions.txt${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

status=0
for target in "${targets[@]}"; do
  corpus="$dir/corpus/$target"
  findings="$dir/findings/$target"
  mkdir -p "$corpus" "$findings"
  echo "fuzz: $target for ${seconds}s"
  if ! "$dir/fuzz/$target" "$corpus" "$seeds/$target" -max_total_time="$seconds" \
      -rss_limit_mb=1024 -timeout=20 -artifact_prefix="$findings/" -print_final_stats=1 \
      2> "$dir/$target.log"; then
    echo "fuzz: $target found a fault; see $dir/$target.log and $findings/" >&2
    tail -n 40 "$dir/$target.log" >&2
    status=1
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$dir/$target.log" || true
done
exit $status
