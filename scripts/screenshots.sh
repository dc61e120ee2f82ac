#!/usr/bin/env bash
# Starts zep under a virtual X server on a simulated counter, opens every view
# kind and writes PNGs of the main window and of each view (as tiled, at the
# default size and at a small size), and of the stability analysis of a log
# that a headless run writes first.
#   scripts/screenshots.sh [BUILD_DIR] [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-$build/screenshots}
zep="$build/ui/zep"
[[ -x $zep ]] || { echo "screenshots.sh: $zep is not built" >&2; exit 1; }
command -v xvfb-run >/dev/null || { echo "screenshots.sh: xvfb-run is missing (package xvfb)" >&2; exit 1; }
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
# A first start at 100 ms intervals with 8 channels, so the plots fill quickly.
cat >"$config/ZEP_App.ini" <<'INI'
SessionCount=1
Session_0_SessionType=0
Session_0_OpenString=DemoData
Session_0_ConnectionType=6
Session_0_DemoChannels=8
Session_0_DemoRate=6
INI
mkdir -p "$out"
analyze=()
cli="$build/cli/zep-cli"
if [[ -x $cli ]]; then
  logrun="$config/logrun"
  mkdir -p "$logrun"
  cp "$config/ZEP_App.ini" "$logrun/"
  "$cli" --config "$logrun" run --duration 40 --log phase,freq >/dev/null
  for log in "$logrun"/Logs/*; do analyze+=(--analyze "$log"); done
else
  echo "screenshots.sh: $cli is not built: no stability analysis screenshot" >&2
fi
xvfb-run -a -s "-screen 0 1600x1000x24" "$zep" --config "$config" --professional --screenshot "$out" "${analyze[@]}"
ls -1 "$out"/*.png
