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

start_instrument "$2"
count() { dumped dump.txt | tr '|' '\n' | grep -c .; }
at_least() { [ "$(count)" -ge "$1" ]; }

start_program "$1" --input instrument:out
wait_for sh -c 'jack_lsp -c | grep -A1 "^instrument:out$" | grep -q "Halvorine:in"' ||
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

# Ctrl+Return until the send carries what was received: every send is 24 messages, so anything the
# panel sent back on its own would stand between them; the last send holds the received values.
first=$(echo "$before" | cut -d'|' -f1-24)
want_send="b0 10 40|b0 11 05|$(echo "$before" | cut -d'|' -f3-24)|"
sends=1
for try in $(seq 20); do
  xdotool key ctrl+Return
  sends=$((sends + 1))
  wait_for at_least $((24 * sends)) || fail "Ctrl+Return sent nothing: $(dumped dump.txt)"
  [ "$(dumped dump.txt | cut -d'|' -f$((24 * sends - 23))-$((24 * sends)))|" = "$want_send" ] && break
done
got=$(dumped dump.txt)
[ "$(count)" = $((24 * sends)) ] || fail "received values were sent back: $got"
[ "$(echo "$got" | cut -d'|' -f$((24 * sends - 23))-)" = "$want_send" ] ||
  fail "after receiving: got '$got', want a last send of '$want_send'"
# The sends before it: each value the one from before or the one received (the input may have been
# read in more than one go).
IFS='|' read -r -a old_values <<<"$first"
IFS='|' read -r -a new_values <<<"$want_send"
IFS='|' read -r -a all_values <<<"$got"
for i in $(seq 24 $((24 * sends - 25))); do
  v=${all_values[$i]} j=$((i % 24))
  [ "$v" = "${old_values[$j]}" ] || [ "$v" = "${new_values[$j]}" ] || fail "a send in between: $v"
done

end_processes "$program_pid"
if grep -q "halvorine:" "$work/program.txt"; then fail "the program complained"; fi
echo PASS
