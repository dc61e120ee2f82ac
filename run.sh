#!/usr/bin/env bash
# Installs what is missing, builds, and starts ZEP on a simulated counter:
# the desktop program when there is a display, else the headless program.
set -euo pipefail
cd "$(dirname "$0")"

scripts/deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [[ -n ${DISPLAY:-} && -x build/ui/zep ]]; then
  # --connect only serves a first start: later starts use the saved sessions.
  exec build/ui/zep --connect DemoData "$@"
elif [[ -x build/cli/zep-cli ]] && build/cli/zep-cli run --help >/dev/null 2>&1; then
  exec build/cli/zep-cli run "$@"
elif [[ -x build/cli/zep-cli ]]; then
  echo "run.sh: the application (zep-cli run) is not built yet; the report lines of a simulated counter follow (Ctrl-C ends)."
  exec build/cli/zep-cli lines DemoData "$@"
fi
echo "run.sh: the library is built in build/; the front ends (zep, zep-cli) are not part of the build yet."
