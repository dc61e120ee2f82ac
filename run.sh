#!/usr/bin/env bash
# Installs what is missing, builds, and starts ZEP on a simulated counter:
# the desktop program when there is a display, else the headless program.
set -euo pipefail
cd "$(dirname "$0")"

scripts/deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [[ -n ${DISPLAY:-} && -x build/ui/zep ]]; then
  exec build/ui/zep "$@"
elif [[ -x build/cli/zep-cli ]]; then
  exec build/cli/zep-cli run "$@"
fi
echo "run.sh: the library is built in build/; the front ends (zep, zep-cli run) are not part of the build yet."
