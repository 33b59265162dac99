#!/usr/bin/env bash
# The MIDI clock's tick spacing on a real ALSA sequencer: runs bench_midi_clock_alsa inside the
# ALSA test VM (tests/alsa/alsa_vm.sh). The VM's processor is emulated in software, so the numbers
# compare the three clocks with one another under the same emulator; they are not what a machine
# would measure. The output says so, and so does the benchmark's context ("emulated").
#
# usage: bench/alsa_clock_vm.sh [BUILD_DIR] [BENCHMARK_FLAG...]
#   BUILD_DIR: where bench/bench_midi_clock_alsa was built (build unless given)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# In the VM (which has loaded the sequencer's high-resolution timer): the benchmark.
if [ "${1:-}" = --in-vm ]; then
  shift
  export HALVORINE_BENCH_EMULATED="QEMU software emulation (TCG); compare the rows, not the machine"
  exec "$@"
fi

build=${1:-build}
[ $# -gt 0 ] && shift
program=$(realpath "$build/bench/bench_midi_clock_alsa" 2>/dev/null || true)
[ -x "$program" ] || { echo "no $build/bench/bench_midi_clock_alsa: build it first" >&2; exit 2; }
echo "EMULATED: the following timings come from a QEMU virtual machine without hardware help."
HALVORINE_VM_TIMEOUT=${HALVORINE_VM_TIMEOUT:-300} exec "$here/../tests/alsa/alsa_vm.sh" \
  "$here/alsa_clock_vm.sh" --in-vm "$program" --benchmark_counters_tabular=true --benchmark_color=false "$@"
