#!/usr/bin/env bash
# Builds plim and runs every test with CTest.
#   scripts/test.sh            Release build in build/
#   scripts/test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   scripts/test.sh tsan       ThreadSanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

kind="${1:-release}"
case "$kind" in
  release) dir=build; flags=(-DCMAKE_BUILD_TYPE=Release) ;;
  asan) dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLIM_SANITIZE_ADDRESS=ON) ;;
  tsan) dir=build-tsan; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLIM_SANITIZE_THREAD=ON) ;;
  *) echo "usage: scripts/test.sh [release|asan|tsan]" >&2; exit 2 ;;
esac

jobs=$(nproc)
cmake -S . -B "$dir" "${flags[@]}" > /dev/null
cmake --build "$dir" -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$dir" -j "$jobs" --output-on-failure
