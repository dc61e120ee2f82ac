#!/usr/bin/env bash
# The one list of Debian 12 packages that building and testing ZEP needs.
# Installs whatever is missing; runs apt-get update first only when needed.
#   scripts/deps.sh          what the build, ./run.sh and ./test.sh need
#   scripts/deps.sh fuzz     also the clang toolchain of scripts/fuzz.sh
set -euo pipefail

PACKAGES=(
  # build
  g++ cmake ninja-build ccache pkg-config
  # command line of zep-cli
  libcli11-dev
  # AES of the stored mail passwords
  libssl-dev
  # chi-square quantiles of the stability analysis
  libboost-math-dev
  # USB hot-plug: the udev monitor of counters plugged in while the program runs
  libudev-dev
  # desktop program: Qt 6 Widgets, plots, a font for the offscreen tests, screenshots
  qt6-base-dev libqcustomplot-dev fonts-dejavu-core xvfb
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
[[ ${1:-} == fuzz ]] && PACKAGES+=("${FUZZ_PACKAGES[@]}")

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
  SUDO=()
elif command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
else
  echo "deps.sh: missing packages (${missing[*]}) and neither root nor sudo" >&2
  exit 1
fi

echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -q
"${SUDO[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
