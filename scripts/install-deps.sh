#!/usr/bin/env bash
# Installs every system package plim needs to build, test and benchmark, from
# Debian 12's archive, and any further packages named as arguments (the demo
# and the benchmark add their music). Idempotent: packages already there are
# left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git file
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev libavdevice-dev
  liblmdb-dev
  libtag1-dev
  libcli11-dev
  libfftw3-dev libkissfft-dev
  libxxhash-dev
  redis-server redis-tools libhiredis-dev
  libvorbis-dev
  clang-14 libclang-rt-14-dev
  ffmpeg sox libsox-fmt-all
  lintian
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages are installed"
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
