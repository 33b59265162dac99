# Shared by scripts/run and scripts/test: installs what is missing and builds.
# Sourced, not run.

set -euo pipefail

HALVORINE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
HALVORINE_BUILD=${HALVORINE_BUILD:-$HALVORINE_ROOT/build}

# Debian 12 packages that building and running the program need (scripts/run installs these).
HALVORINE_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  librtmidi-dev libjack-jackd2-dev
  fonts-dejavu-core fonts-liberation2
)

# What the tests and benchmarks need besides (scripts/test installs both lists): GoogleTest and
# Google Benchmark, a private session bus, a JACK server with jack_midi_dump, PipeWire with its
# JACK library (pw-jack) and its tools (pw-metadata), a display with X input, the format check,
# the tools that check what is installed and packaged, and the VM that has a real ALSA sequencer
# (tests/alsa/alsa_vm.sh: QEMU, Debian's kernel, busybox, aseqdump).
HALVORINE_TEST_PACKAGES=(
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-daemon
  jackd2
  pipewire pipewire-bin pipewire-jack
  xvfb xdotool x11-utils openbox wmctrl qt6-wayland
  at-spi2-core python3-gi gir1.2-atspi-2.0
  clang-format
  desktop-file-utils shared-mime-info appstream groff-base man-db file dpkg-dev lintian
  qemu-system-x86 linux-image-amd64 busybox-static alsa-utils
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# install_missing PACKAGE...: installs those of the packages that are not installed yet.
install_missing() {
  local missing=()
  local p
  for p in "$@"; do
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

# build [CMAKE-ARGUMENT...] [-- TARGET...]: configures $HALVORINE_BUILD and builds the targets
# (everything when none are named).
build() {
  local configure=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do configure+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  targets=("$@")
  cmake -S "$HALVORINE_ROOT" -B "$HALVORINE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    "${configure[@]}"
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$HALVORINE_BUILD" --target "${targets[@]}"
  else
    cmake --build "$HALVORINE_BUILD"
  fi
}

# A debug build with the address and undefined-behaviour sanitizers, without the benchmarks.
build_sanitized() {
  build -DCMAKE_BUILD_TYPE=Debug -DHALVORINE_SANITIZE=ON -DHALVORINE_BENCH=OFF
}
