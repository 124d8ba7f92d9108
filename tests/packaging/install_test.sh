#!/usr/bin/env bash
# Installs the build in BUILD_DIR under a scratch prefix, as `cmake --install`
# does for a user, and checks that everything lands and runs from there: the
# programs, the FFmpeg module they load beside them, man pages, completions.
set -euo pipefail
build_dir=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" > /dev/null
for file in bin/plim-catalog bin/plim-shazamkit share/man/man1/plim-catalog.1.gz \
    share/man/man1/plim-shazamkit.1.gz share/doc/plim/copyright share/bash-completion/completions/plim-catalog \
    share/zsh/vendor-completions/_plim-catalog; do
  [ -e "$prefix/$file" ] || { echo "not installed: $file" >&2; exit 1; }
done
"$prefix/bin/plim-catalog" --version | grep -q "^catalog format version "
bash -c "source '$prefix/share/bash-completion/completions/plim-catalog' && complete -p plim-catalog" > /dev/null

# An Ogg file needs the module: found from the installed programs, not the build.
ffmpeg -nostdin -loglevel error -f lavfi -i "anoisesrc=d=6:seed=5" "$prefix/noise.ogg"
LD_DEBUG=files "$prefix/bin/plim-catalog" --quiet --catalog "$prefix/catalog" add \
  "$prefix/noise.ogg" 2> "$prefix/loader.log"
grep -q "file=$prefix/bin/../lib.*/plim/libplim_avfaudio_ffmpeg.so" "$prefix/loader.log" || {
  echo "the module was not loaded from the install" >&2
  exit 1
}
PLIM_CATALOG="$prefix/catalog" "$prefix/bin/plim-shazamkit" "$prefix/noise.ogg" |
  grep -q '"matched":true'
