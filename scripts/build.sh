#!/usr/bin/env bash
# Configures (once) and builds one build folder.
#   scripts/build.sh DIR [cmake -D options...] [-- targets...]
set -euo pipefail
cd "$(dirname "$0")/.."

dir=$1; shift
options=()
while (($#)) && [[ $1 != -- ]]; do options+=("$1"); shift; done
[[ ${1:-} == -- ]] && shift
targets=("$@")

cmake -S . -B "$dir" -G Ninja "${options[@]}" >/dev/null
if ((${#targets[@]})); then
  cmake --build "$dir" --target "${targets[@]}"
else
  cmake --build "$dir"
fi
