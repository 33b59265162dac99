#!/usr/bin/env bash
# Sound design as a user plays it, through real X input to a JACK server's dump: BD's Par1 at 5
# copied (Ctrl+C) and pasted onto SD (Ctrl+V) sends SD's 24 values, and Ctrl+Z sends SD's Par1
# back; Ctrl+M with nothing ticked moves only BD's values, each within 8, and Ctrl+Z sends the
# earlier ones back.
#
# usage: sound_design_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

select_bd() { click 19 14; }
select_sd() { click 43 14; }

# The 24 control changes of the sound whose controllers start at $1, with the given values.
sound_values() {
  local i out="" first=$1
  shift
  local v=("$@")
  for i in $(seq 0 23); do out+=$(printf 'b0 %02x %02x|' $((first + i)) "${v[$i]}"); done
  echo "$out"
}
zeros=$(printf '0 %.0s' $(seq 23))

start_display
start_jack dump.txt
start_program "$1" --seed 32

pick_first_device
press_open                 # nothing is ticked: nothing sent
drag_par_knob1 -6          # 6 x 127 / 128 = 5
xdotool key ctrl+c
select_sd
xdotool key ctrl+v
# Each step's messages arrive before the next key: a value still waiting would take the next one's.
expect_dumped dump.txt "b0 10 05|$(sound_values 40 5 $zeros)"
xdotool key ctrl+z
expect_dumped dump.txt "b0 10 05|$(sound_values 40 5 $zeros)b0 28 00|"

# The mutation, Start, its undo, Stop: Start and Stop wait in order behind what came before them,
# so each marks the end of a step's messages.
select_bd
mark=$(dumped dump.txt | tr '|' '\n' | grep -c .)
after_mark() { dumped dump.txt | tr '|' '\n' | tail -n +$((mark + 1)); }
arrived() { after_mark | grep -qx "$1"; }
xdotool key ctrl+m
press_start
wait_long 10 arrived fa || fail "Start after the mutation did not arrive"
xdotool key ctrl+z
press_stop
wait_long 10 arrived fc || fail "Stop after the undo did not arrive"
after_mark >"$work/moves.txt"
# The mutation's lines "b0 CC VV", then "fa", then as many undoing them on the same controllers.
awk '
  function hex(s) { return 16 * index(D, substr(s, 1, 1)) + index(D, substr(s, 2, 1)) - 17 }
  BEGIN { D = "0123456789abcdef"; part = 0 }
  $0 == "fa" { part = 1; next }
  $0 == "fc" { part = 2; next }
  $1 != "b0" || part == 2 { print "unexpected: " $0; bad = 1; next }
  { n[part]++; controller[part, n[part]] = hex($2); value[part, n[part]] = hex($3) }
  END {
    if (n[0] == 0 || n[0] != n[1]) { print n[0] " moves, " n[1] " undone"; exit 1 }
    for (i = 1; i <= n[0]; i++) {
      c = controller[0, i]; before = c == 16 ? 5 : 0; step = value[0, i] - before
      if (c < 16 || c > 39) { print "controller " c " is not BD'"'"'s"; bad = 1 }
      if (step < -8 || step > 8 || step == 0) { print "controller " c ": " before " to " value[0, i]; bad = 1 }
      if (controller[1, i] != c || value[1, i] != before) {
        print "undo of controller " c ": " controller[1, i] " " value[1, i]; bad = 1
      }
    }
    exit bad
  }' "$work/moves.txt" >"$work/judged.txt" || fail "mutation: $(cat "$work/judged.txt")"
echo "sound design e2e: the paste went to SD and back, the mutation stayed on BD within 8 and was undone"
