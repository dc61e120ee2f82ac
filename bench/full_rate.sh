#!/usr/bin/env bash
# Full-rate acquisition as a user runs it: four simulated counters with 24
# channels at 1 ms each, every other setting at its default, `zep-cli run` for
# a while. Prints the CPU share of the acquisition thread and of the whole
# process, the resident memory at 10 s and at the end, and per counter the
# measurements per device second and how far the device's seconds and the
# wall clock's drifted apart, and the 7F22 lines seen.
#   bench/full_rate.sh [SECONDS] [--debug-off]   (default 60; build/ must be built)
# --debug-off switches every debug switch off, for comparison.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
debug_off=false
for arg in "$@"; do
  case $arg in
    --debug-off) debug_off=true ;;
    *) seconds=$arg ;;
  esac
done
cli=build/cli/zep-cli
[[ -x $cli ]] || { echo "full_rate.sh: build $cli first (scripts/build.sh build)" >&2; exit 1; }

config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
{
  echo "SessionCount=4"
  for i in 0 1 2 3; do
    echo "Session_${i}_SessionType=0"
    echo "Session_${i}_OpenString=DemoData"
    echo "Session_${i}_ConnectionType=6"
    echo "Session_${i}_DemoRate=0"
    echo "Session_${i}_DemoChannels=0"
  done
} > "$config/ZEP_App.ini"
if $debug_off; then
  # Written once by a short start, then every switch turned off.
  "$cli" --config "$config" run --duration 1 > /dev/null
  sed -i 's/=True\(\r\?\)$/=False\1/' "$config/ZEP_DebugConf.ini"
fi

ticks=$(getconf CLK_TCK)
# utime + stime of /proc/<pid>[/task/<tid>]/stat, in clock ticks.
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "$1/stat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
acquisition_task() {
  for task in /proc/$1/task/*; do
    [[ $(cat "$task/comm") == zep-acquire ]] && { echo "$task"; return; }
  done
}

out=$config/run.out
start=$(date +%s.%N)
"$cli" --config "$config" run --duration "$seconds" > "$out" 2>&1 &
pid=$!
sleep 5
task=$(acquisition_task "$pid")
[[ -n $task ]] || { echo "full_rate.sh: no acquisition thread" >&2; exit 1; }
t0=$(date +%s.%N); acq0=$(cpu_ticks "$task"); proc0=$(cpu_ticks "/proc/$pid")
sleep 5
rss10=$(rss_kib "$pid")
sleep $((seconds - 12))
t1=$(date +%s.%N); acq1=$(cpu_ticks "$task"); proc1=$(cpu_ticks "/proc/$pid")
rss_end=$(rss_kib "$pid")
wait "$pid"
wall_end=$(date +%s.%N)

awk -v t0="$t0" -v t1="$t1" -v a0="$acq0" -v a1="$acq1" -v p0="$proc0" -v p1="$proc1" -v hz="$ticks" \
    -v rss10="$rss10" -v rssend="$rss_end" 'BEGIN {
  span = t1 - t0
  printf "acquisition thread: %.1f %% of a core\n", 100 * (a1 - a0) / hz / span
  printf "whole process:      %.1f %% of a core\n", 100 * (p1 - p0) / hz / span
  printf "resident memory:    %.1f MiB at 10 s, %.1f MiB at %d s\n", rss10 / 1024, rssend / 1024, span + 10
}'

# Table lines: "A DemoData  second S  header H (...)  ... measurements M (N at
# that second) ...". Per counter, from the first whole second at 1 ms to the
# last one seen, the measurements at each give the rate; the last second
# against the wall time of the run gives the drift.
awk -v wall="$(echo "$wall_end - $start" | bc)" '
  / second [0-9]+ .*\(Phase, 1ms\).* at that second\)/ {
    letter = $1
    for (i = 1; i <= NF; ++i) {
      if ($i == "second") s = $(i + 1)
      if ($i == "at" && $(i + 1) == "that") m = substr($(i - 1), 2)
    }
    # The second in which the rate changed is not a whole second at 1 ms.
    if (!(letter in seen)) { seen[letter] = s; next }
    if (s == seen[letter]) next
    if (!(letter in first)) { first[letter] = s; firstM[letter] = m }
    last[letter] = s; lastM[letter] = m
  }
  / 7F22: / { ++lines7F22 }
  END {
    for (letter in first) {
      secs = last[letter] - first[letter]
      rate = secs > 0 ? (lastM[letter] - firstM[letter]) / secs : 0
      printf "counter %s: seconds %d..%d, %.3f measurements per device second, device %d s vs wall %.1f s\n",
             letter, first[letter], last[letter], rate, last[letter], wall
    }
    printf "7F22 lines: %d\n", lines7F22
  }' "$out"
