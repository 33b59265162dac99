#!/usr/bin/env bash
# The panel as a user drives it: a JACK server with the dummy driver and a recorder as the
# instrument, the built program under Xvfb, real X input from xdotool, and the bytes that reach
# the dump checked.
#
# usage: panel_e2e.sh PATH/TO/halvorine [screenshot.png]
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
screenshot=${2:-}

start_display
start_jack dump.txt
start_program "$1"

pick_first_device
press_open
drag_par_knob1 -10   # up 10 pixels: 10 x 127 / 128 = 9
tick_box2            # parameter 2 follows the morph: bank A preset (0, 0) gives 98
drag_mix_knob -50    # mix 50 x 100 / 128 = 39: 98 x 0.61 + 52 x 0.39 = 80.06, so 80
press_start

expect_dumped dump.txt "b0 10 09|b0 11 62|b0 11 50|fa|"
if [ -n "$screenshot" ]; then import -window root -crop "570x474+$X+$Y" "$screenshot"; fi
echo "panel e2e: the dump received exactly what the user's gestures send"
