#!/usr/bin/env bash
# The MIDI server goes away under a running panel and comes back: the panel goes on answering,
# what was sent while the server was away waits (the latest value of each controller) and reaches
# the new server's dump once it is there, a Start that could not go out within a second is dropped
# rather than replayed, and after Close and Open the values reach it too.
#
# usage: panel_fault_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

# Dismisses any message box the panel shows (a close error), with its Return key.
dismiss_dialogs() {
  local w
  for w in $(xdotool search --pid "$program_pid" --onlyvisible --name "." 2>/dev/null); do
    if [ "$w" != "$window" ]; then
      echo "dialog: $(xdotool getwindowname "$w")"
      xdotool windowactivate --sync "$w" key Return 2>/dev/null || xdotool key Return
      sleep 0.2
    fi
  done
}

start_display
start_jack dump1.txt
start_program "$1"

pick_first_device
press_open
drag_par_knob1 -10
expect_dumped dump1.txt "b0 10 09|"

stop_jack
sleep 0.5            # the port notices the server has gone
drag_par_knob1 -20   # waits for the server: 9 + 19 = 28
press_start
kill -0 "$program_pid" 2>/dev/null || fail "the panel died with the server"
sleep 1.5            # the Start waits over a second, the port's own limit: then it is dropped

start_jack dump2.txt quiet
wait_long 15 program_connected ||
  fail "the panel did not find the dump on the new server: $(jack_lsp -c 2>&1 | tr '\n' ' ')"
press_close
sleep 0.5
dismiss_dialogs
kill -0 "$program_pid" 2>/dev/null || fail "the panel died on Close"
press_open
drag_par_knob1 -10   # 28 + 9 = 37
press_start
# The value that waited comes first. On a busy machine the restarted server may skip the recorder's
# cycles just as the panel comes back (the recorder says so: "# missed"), and whatever reached it in
# them is lost to it; then only what came after can be checked.
arrived() { [[ "$(dumped dump2.txt)" == *"b0 10 25|fa|" ]]; }
wait_for arrived || fail "dump2.txt: got '$(dumped dump2.txt)'"
if [ "$(dumped dump2.txt)" != "b0 10 1c|b0 10 25|fa|" ]; then
  grep -vx '# ready' "$work/dump2.txt" | head -n 1 | grep -q '^# missed ' && [ "$(dumped dump2.txt)" = "b0 10 25|fa|" ] ||
    fail "dump2.txt: got '$(dumped dump2.txt)', want 'b0 10 1c|b0 10 25|fa|'"
  echo "the recorder missed cycles ($(grep -vx '# ready' "$work/dump2.txt" | head -n 1)) as the panel came back"
fi
echo "panel fault e2e: the panel outlived its server and sends to the new one"
