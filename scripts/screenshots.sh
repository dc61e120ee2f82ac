#!/usr/bin/env bash
# Starts zep under a virtual X server on a simulated counter, opens every view
# kind and writes PNGs of the main window and of each view.
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
xvfb-run -a -s "-screen 0 1600x1000x24" "$zep" --config "$config" --professional --screenshot "$out"
ls -1 "$out"/*.png
