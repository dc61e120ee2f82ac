#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh fuzz
seconds=${1:-60}
CXX=clang++ scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_FUZZ=ON \
  -DZEP_BUILD_TESTS=OFF -DZEP_BUILD_BENCH=OFF -DZEP_SANITIZE=address,undefined,fuzzer-no-link
for target in build-fuzz/fuzz/fuzz_*; do
  [[ -x $target ]] || continue
  corpus=build-fuzz/corpus/$(basename "$target")
  mkdir -p "$corpus"
  echo "== $target"
  "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus"
done
