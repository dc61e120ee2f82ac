#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan on) and runs each in turn.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 60 s, every target)
#   FUZZ_RUNS=N scripts/fuzz.sh 0 [TARGET...]          N inputs per target instead of a time
# Each target keeps its corpus in build-fuzz/corpus/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh fuzz
seconds=${1:-60}
shift || true
CXX=clang++ scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_FUZZ=ON \
  -DZEP_BUILD_TESTS=OFF -DZEP_BUILD_BENCH=OFF -DZEP_SANITIZE=address,undefined,fuzzer-no-link -- zep_fuzz_targets
targets=("$@")
((${#targets[@]})) || mapfile -t targets < <(cd build-fuzz/fuzz && ls fuzz_*)
for name in "${targets[@]}"; do
  target=build-fuzz/fuzz/$name
  [[ -x $target ]] || continue
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  echo "== $name"
  if [[ -n ${FUZZ_RUNS:-} ]]; then
    "$target" -runs="$FUZZ_RUNS" -print_final_stats=1 "$corpus"
  else
    "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus"
  fi
done
