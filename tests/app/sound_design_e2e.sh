#!/usr/bin/env bash
# Sound design as a user plays it, through real X input to a JACK server's dump: BD's Par1 at 5
# copied (Ctrl+C) and pasted onto SD (Ctrl+V) sends SD's 24 values, and Ctrl+Z sends SD's Par1
# back; Ctrl+M with nothing ticked moves only BD's values, each within 8, and Ctrl+Z sends the
# earlier ones back. Each step's messages arrive before the next key: a value still waiting to go
# out would take the next one's.
#
# usage: sound_design_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

# SD's 24 control changes: Par1 at 5, the rest at 0.
sd="b0 28 05|$(for c in $(seq 41 63); do printf 'b0 %02x 00|' "$c"; done)"
# What seed 32 moves BD's values to, 8 at most from 5 (Par1) and 0, and the values before.
moves="b0 10 0d|b0 11 04|b0 12 04|b0 13 02|b0 15 06|b0 16 01|b0 17 06|b0 1a 03|b0 1c 08|\
b0 1d 08|b0 1e 07|b0 1f 06|b0 20 03|b0 22 01|b0 25 05|b0 26 04|"
undone=$(echo "$moves" | sed 's/ [0-9a-f]*|/ 00|/g; s/b0 10 00/b0 10 05/')

start_display
start_jack dump.txt
start_program "$1" --seed 32
pick_first_device
press_open                      # nothing is ticked: nothing sent
drag_par_knob1 -6               # 6 x 127 / 128 = 5
xdotool key ctrl+c
click 43 14                     # SD
xdotool key ctrl+v
expect_dumped dump.txt "b0 10 05|$sd"
xdotool key ctrl+z
expect_dumped dump.txt "b0 10 05|${sd}b0 28 00|"
click 19 14                     # BD
xdotool key ctrl+m
expect_dumped dump.txt "b0 10 05|${sd}b0 28 00|$moves"
xdotool key ctrl+z
expect_dumped dump.txt "b0 10 05|${sd}b0 28 00|$moves$undone"
echo "sound design e2e: the paste went to SD and back, the mutation stayed on BD within 8 and was undone"
