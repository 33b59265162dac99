# Shared by scripts/run and scripts/test: installs what is missing and builds.
# Sourced, not run.

set -euo pipefail

HALVORINE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
HALVORINE_BUILD=${HALVORINE_BUILD:-$HALVORINE_ROOT/build}

# Debian 12 packages the build, the program and its tests need.
HALVORINE_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  librtmidi-dev libjack-jackd2-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-daemon dbus-x11
  at-spi2-core python3-gi gir1.2-atspi-2.0
  jackd2
  xvfb xauth xdotool x11-utils
  fonts-dejavu-core fonts-liberation2
  clang-format
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing() {
  local missing=()
  local p
  for p in "${HALVORINE_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    # jackd2 asks about real-time priority; the default answer is fine here.
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}"
  fi
}

build() {
  cmake -S "$HALVORINE_ROOT" -B "$HALVORINE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
  cmake --build "$HALVORINE_BUILD"
}

# A debug build with the address and undefined-behaviour sanitizers, without the benchmarks.
build_sanitized() {
  build -DCMAKE_BUILD_TYPE=Debug -DHALVORINE_SANITIZE=ON -DHALVORINE_BENCH=OFF
}
