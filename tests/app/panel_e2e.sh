#!/usr/bin/env bash
# The panel as a user drives it: a JACK server with the dummy driver and jack_midi_dump as the
# instrument, the built program under Xvfb, real X input from xdotool, and the bytes that reach
# the dump checked. Everything started here is stopped on the way out, also on failure.
#
# usage: panel_e2e.sh PATH/TO/halvorine [screenshot.png]
set -euo pipefail

program=$1
screenshot=${2:-}
work=$(mktemp -d)
server="halvorine-e2e-$$"
pids=()

cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- dump ---" >&2; cat "$work/dump.txt" >&2 || true
  echo "--- program ---" >&2; cat "$work/program.txt" >&2 || true
  exit 1
}

# Polls a command for up to five seconds.
wait_for() {
  local i
  for i in $(seq 100); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.05
  done
  return 1
}

# The display: Xvfb picks a free number and writes it to the pipe.
exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.txt" 2>&1 &
pids+=($!)
read -r -t 10 -u "$displayfd" number || fail "Xvfb did not start"
export DISPLAY=":$number"

export JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1
jackd -n "$server" -d dummy -r 48000 -p 256 >"$work/jackd.txt" 2>&1 &
pids+=($!)
export JACK_DEFAULT_SERVER=$server
wait_for jack_lsp || fail "jackd did not start"
jack_midi_dump >"$work/dump.txt" 2>&1 &
pids+=($!)
wait_for sh -c 'jack_lsp | grep -q "midi-monitor:input"' || fail "jack_midi_dump has no port"

unset QT_QPA_PLATFORM
"$program" >"$work/program.txt" 2>&1 &
pids+=($!)
wait_for xdotool search --name "^Halvorine v0.2$" || fail "the window did not appear"
window=$(xdotool search --name "^Halvorine v0.2$" | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$window")"   # X, Y of the client area
sleep 0.5

# Moves to a point of the client area.
at() { xdotool mousemove --sync $((X + $1)) $((Y + $2)); }
click() { at "$1" "$2"; xdotool click 1; sleep 0.2; }
# A vertical drag of dy pixels (negative is up) in one pointer movement.
drag() {
  at "$1" "$2"; xdotool mousedown 1; sleep 0.1
  at "$1" $(($2 + $3)); sleep 0.1
  xdotool mouseup 1; sleep 0.2
}

# Pick the device: open the list and take its first entry, the dump's input.
click 352 82
xdotool key Home Return; sleep 0.2
click 300 116            # Open
drag 35 83 -10           # ParKnob1 up 10 pixels: 10 x 127 / 128 = 9
click 16 128             # CheckBox2: parameter 2 follows the morph (bank A preset (0, 0): 98)
drag 395 219 -50         # MixKnob up 50 pixels: 50 x 100 / 128 = 39
click 277 348            # Start
sleep 0.5

[ -n "$screenshot" ] && import -window root -crop "570x474+$X+$Y" "$screenshot" 2>/dev/null || true

# A line of the dump is "   0: b0 10 09 control change ...": a time, then the message in hex.
got=$(awk '/^ *[0-9]+: / { m = ""; for (i = 2; i <= NF && $i ~ /^[0-9a-f][0-9a-f]$/; i++)
                                m = m (m == "" ? "" : " ") $i; print m }' "$work/dump.txt" |
      tr '\n' '|')
# parameter 1 = 9; tick: parameter 2 = 98; mix 39: 98 x 0.61 + 52 x 0.39 = 80.06 -> 80; Start
want="b0 10 09|b0 11 62|b0 11 50|fa|"
[ "$got" = "$want" ] || fail "bytes: got '$got', want '$want'"
echo "panel e2e: bytes as expected: $want"
