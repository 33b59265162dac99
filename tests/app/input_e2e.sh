#!/usr/bin/env bash
# The panel hears the instrument: a JACK client plays it, sending control changes into the panel's
# input named with --input. The selected sound takes them without sending them back, channels
# outside the panel's block and controllers of no parameter are ignored, and Ctrl+Return then sends
# the received values.
#
# usage: input_e2e.sh PATH/TO/halvorine PATH/TO/jack_midi_send
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
export HOME="$work/home"
mkdir -p "$HOME"

start_display
start_jack dump.txt

mkfifo "$work/play"
"$2" instrument <"$work/play" >"$work/instrument.txt" 2>&1 &
pids+=($!)
exec 4>"$work/play"
wait_for sh -c 'jack_lsp | grep -q "^instrument:out$"' || fail "the instrument has no port"
play() { printf '%s\n' "$@" >&4; sleep 0.5; }
at_least() { [ "$(dumped dump.txt | tr '|' '\n' | grep -c .)" -ge "$1" ]; }

start_program "$1" --input instrument:out
wait_for sh -c 'jack_lsp -c | grep -A1 "^instrument:out$" | grep -q "Halvorine-in:in"' ||
  fail "the input is not connected from the instrument"

pick_first_device
press_open
wait_for program_connected || fail "the output is not connected"
xdotool key ctrl+Return
wait_for at_least 24 || fail "nothing sent"
before=$(dumped dump.txt)

# BD's first two parameters, LT's first (the next channel), then what must be ignored: channel 6,
# controller 64 and a note on the base channel.
play "b0 10 40" "b0 11 05" "b1 10 22" "b5 10 33" "b0 40 11" "90 24 64"
[ "$(dumped dump.txt)" = "$before" ] || fail "received values were sent back: $(dumped dump.txt)"

xdotool key ctrl+Return
wait_for at_least 48 || fail "Ctrl+Return sent nothing"
first=$(echo "$before" | cut -d'|' -f1-24)
want="$first|b0 10 40|b0 11 05|$(echo "$before" | cut -d'|' -f3-24)|"
[ "$(dumped dump.txt)" = "$want" ] || fail "after receiving: got '$(dumped dump.txt)', want '$want'"

kill "$program_pid"
wait "$program_pid" 2>/dev/null || true
if grep -q "halvorine:" "$work/program.txt"; then fail "the program complained"; fi
echo PASS
