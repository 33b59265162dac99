#!/usr/bin/env bash
# Exec to visible window, median of N runs, without and with a JACK server running, in one run.
# Starts its own Xvfb and JACK server (run it inside tests/support/jack_sandbox.sh).
#
# usage: startup_visible.sh PATH/TO/halvorine [RUNS]
set -euo pipefail
program=$1
runs=${2:-9}
number=$((100 + RANDOM % 800))
Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$number"
for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.05; done
jackd_pid=""
trap 'kill $xvfb $jackd_pid 2>/dev/null || true' EXIT

measure() {
  local times=() start end pid
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    "$program" >/dev/null 2>&1 &
    pid=$!
    until xdotool search --onlyvisible --name "^Halvorine v0.2$" >/dev/null 2>&1; do :; done
    end=$(date +%s%N)
    kill "$pid"; wait "$pid" 2>/dev/null || true
    times+=($(((end - start) / 1000000)))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

echo "without JACK: $(JACK_DEFAULT_SERVER=halvorine-absent-$$ measure) ms median"
export JACK_NO_AUDIO_RESERVATION=1 JACK_DEFAULT_SERVER="halvorine-startup-$$"
jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
jackd_pid=$!
for _ in $(seq 100); do jack_lsp >/dev/null 2>&1 && break; sleep 0.05; done
jack_midi_dump >/dev/null 2>&1 &
echo "with JACK:    $(measure) ms median"
