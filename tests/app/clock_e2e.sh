#!/usr/bin/env bash
# The panel's MIDI clock through JACK, frame by frame: with --tempo 120 on a server at 48 kHz, the
# Start button sends Start, then ticks 1000 frames apart, each at its own frame (the widest and the
# narrowest spacing at most 2 frames apart over four seconds); Stop comes after the last tick and
# no tick after it. jack_midi_dump -a prints each message at its absolute frame ("  52992: f8").
#
# usage: clock_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

dump_options=-a
start_display
start_jack dump.txt
start_program "$1" --tempo 120 --device midi-monitor:input
press_open
wait_for program_connected || fail "the output is not connected"
press_start
sleep 4.5
press_stop
sleep 0.5

# One verdict from the dump: a line of faults, empty when there are none, then the numbers.
verdict=$(awk '
  /^ *[0-9]+: / {
    frame = $1 + 0; status = $2; seen++
    if (seen == 1 && status != "fa") faults = faults " first message " status ", not fa;"
    if (status == "fa") starts++
    if (status == "fc") stops++
    if (status == "f8") {
      if (stops) { after++; next }
      if (ticks) {
        gap = frame - last
        if (ticks == 1 || gap < least) least = gap
        if (ticks == 1 || gap > most) most = gap
      } else first = frame
      ticks++; last = frame
    }
  }
  END {
    if (starts != 1 || stops != 1) faults = faults " " starts + 0 " Start(s), " stops + 0 " Stop(s);"
    if (after) faults = faults " " after " tick(s) after Stop;"
    # Four seconds at 48 ticks a second.
    if (ticks < 193) faults = faults " only " ticks + 0 " ticks;"
    else {
      mean = (last - first) / (ticks - 1)
      if (mean < 999.5 || mean > 1000.5) faults = faults " mean spacing " mean ";"
      if (most - least > 2) faults = faults " spacing from " least " to " most ";"
    }
    printf "%s\n%d ticks, mean %.3f frames, spacing %d to %d\n", faults, ticks, mean, least, most
  }' "$work/dump.txt")
[ -z "$(head -n 1 <<<"$verdict")" ] || fail "the clock:$(head -n 1 <<<"$verdict")"
tail -n 1 <<<"$verdict"

kill "$program_pid"
wait "$program_pid" 2>/dev/null || true
if grep -q "halvorine:" "$work/program.txt"; then fail "the program complained"; fi
echo PASS
