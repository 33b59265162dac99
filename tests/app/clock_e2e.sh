#!/usr/bin/env bash
# The panel's MIDI clock through JACK, frame by frame: with --tempo 120 on a server at 48 kHz, the
# Start button sends Start, then ticks 1000 frames apart, each at its own frame in the server's
# frame time (clock_judge.awk says what may differ after a stall of the server); Stop ends them,
# and no tick comes between the Stop and a control change sent after it.
#
# usage: clock_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

ticks() { grep -c ': f8 ' "$work/dump.txt"; }
at_least_ticks() { [ "$(ticks)" -ge "$1" ]; }

start_display
start_jack dump.txt
start_program "$1" --tempo 120 --device midi-monitor:input
press_open
wait_for program_connected || fail "the output is not connected"
press_start
# Four seconds of ticks at 48 a second, however long the machine takes to send them.
wait_long 60 at_least_ticks 193 || fail "only $(ticks) ticks"
press_stop
wait_for grep -q ': fc ' "$work/dump.txt" || fail "no Stop"
# The marker: a control change after the Stop. Whatever the clock would still send comes first.
drag_par_knob1 -10
wait_for grep -q ': b0 10 09 ' "$work/dump.txt" || fail "the control change after Stop did not come"
stop_jack

verdict=$(awk -v period=1000 -f "$(dirname "${BASH_SOURCE[0]}")/clock_judge.awk" "$work/dump.txt")
echo "$verdict" | tail -n +2
[ -z "$(head -n 1 <<<"$verdict")" ] || fail "the clock:$(head -n 1 <<<"$verdict")"
grep -v '^#' "$work/dump.txt" | head -n 1 | grep -q '^[0-9]*: fa '  || fail "the first message is not Start"
grep -q '1 Start(s), 0 Continue(s), 1 Stop(s)' <<<"$verdict" || fail "not one Start and one Stop"

end_processes "$program_pid"
if grep -q "halvorine:" "$work/program.txt"; then fail "the program complained"; fi
echo PASS
