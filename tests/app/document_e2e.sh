#!/usr/bin/env bash
# The paths that could drop a musician's work, tried as a user would: real X input under a window
# manager, closing through the manager as the title bar's button does, the questions answered
# with keys, the file dialog typed into, and a termination signal whose unsaved work the next
# start offers back; the menu key, New and Quit; and the output opened last, opened again at the
# next start. Settings and recovery files stay in the test's own folders.
#
# usage: document_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
program=$(realpath "$1")
export HOME="$work/home"
mkdir -p "$HOME"
cd "$work"  # where the file dialog starts

start_display
openbox --sm-disable >"$work/wm.txt" 2>&1 &
pids+=($!)
wait_for wmctrl -m || fail "the window manager did not start"

caption() { xdotool getwindowname "$window"; }
expect_caption() { wait_for sh -c "[ \"\$(xdotool getwindowname $window)\" = '$1' ]" ||
  fail "caption '$(caption)', want '$1'"; }
# The question boxes carry the bare caption; the main window's has a mark or a file by then.
question_count() { xdotool search --name '^Halvorine v0.2$' 2>/dev/null | wc -l; }
# The window with the keyboard focus.
active_is() { [ "$(xdotool getactivewindow getwindowname 2>/dev/null)" = "$1" ]; }
expect_question() { wait_for sh -c "[ \$(xdotool search --name '^Halvorine v0.2\$' | wc -l) -ge $1 ]" ||
  fail "no question ($2)"; wait_for active_is "Halvorine v0.2" || fail "the question has no focus ($2)"; }
# The question went away (it closes; nothing to wait out).
expect_no_question() { wait_for sh -c "[ \$(xdotool search --name '^Halvorine v0.2\$' | wc -l) -lt $1 ]" ||
  fail "a question ($2)"; }
expect_dialog() { wait_for active_is "$1" || fail "no dialog '$1' with the focus"; }
close_window() { wmctrl -i -c "$window"; }
focus_panel() { xdotool windowactivate --sync "$window"; wait_for active_is "$(caption)"; }
running() { kill -0 "$program_pid" 2>/dev/null; }
# Waits for the program to end by itself and checks its exit code.
expect_end() {
  wait_for sh -c "! kill -0 $program_pid 2>/dev/null" || fail "the program did not end ($1)"
  local status=0
  wait "$program_pid" || status=$?
  [ "$status" = 0 ] || fail "exit code $status ($1)"
}
start_on() {
  unset QT_QPA_PLATFORM
  "$program" "$@" >>"$work/program.txt" 2>&1 &
  program_pid=$!
  pids+=($program_pid)
}
find_panel() {
  wait_for xdotool search --name "$1" || fail "no window '$1'"
  window=$(xdotool search --name "$1" | head -n 1)
  wait_for xdotool search --onlyvisible --name "$1" || fail "window '$1' not shown"
  # Under a reparenting manager xdotool counts the frame's offset twice; xwininfo does not.
  X=$(xwininfo -id "$window" | awk '/Absolute upper-left X/ { print $4 }')
  Y=$(xwininfo -id "$window" | awk '/Absolute upper-left Y/ { print $4 }')
}

# An unnamed set with a change: closing asks, and Escape (Cancel) keeps it all.
start_on
find_panel '^Halvorine v0.2$'
drag_par_knob1 -10
expect_caption "Halvorine v0.2*"
close_window
expect_question 1 "closing an unsaved set"
xdotool key Escape
expect_no_question 1 "after Cancel"
running || fail "Cancel on closing ended the program"
expect_caption "Halvorine v0.2*"

# Open asks first; Cancel shows no file dialog and keeps the set.
focus_panel
xdotool key ctrl+o
expect_question 1 "Open over unsaved work"
xdotool key Escape
expect_no_question 1 "after Cancel on Open"
# Keys reach the panel, not a file dialog: undo and redo of the change show in the caption.
xdotool key ctrl+z
expect_caption "Halvorine v0.2"
xdotool key ctrl+shift+z
expect_caption "Halvorine v0.2*"
! xdotool search --name "^Open sound set$" >/dev/null 2>&1 || fail "Open went on after Cancel"

# Closing again, Return saves: the set has no file, so the file dialog asks for one; a name
# typed without its suffix gets it. Then the program ends.
close_window
expect_question 1 "closing again"
xdotool key Return
wait_for xdotool search --name "^Save sound set$" || fail "no file dialog for an unnamed set"
expect_dialog "Save sound set"
xdotool type --delay 20 kit
xdotool key Return
expect_end "closing with Save"
[ -f "$work/kit.hvset" ] || fail "the set was not saved as kit.hvset: $(ls "$work")"
saved=$(md5sum <"$work/kit.hvset")

# Save As over that file, typed without its suffix again: the question names it, and Return
# (No, the default) writes nothing.
start_on kit.hvset
find_panel '^Halvorine v0.2 - kit.hvset$'
drag_par_knob1 -30
expect_caption "Halvorine v0.2 - kit.hvset*"
xdotool key ctrl+shift+s
wait_for xdotool search --name "^Save sound set$" || fail "no Save As dialog"
expect_dialog "Save sound set"
xdotool key ctrl+a
xdotool type --delay 20 kit
xdotool key Return
expect_question 1 "replacing kit.hvset"
xdotool key Return
expect_dialog "Save sound set"
xdotool key Escape  # the file dialog again: dismissed
wait_for active_is "Halvorine v0.2 - kit.hvset*" || fail "the Save As dialog stayed"
[ "$(md5sum <"$work/kit.hvset")" = "$saved" ] || fail "Save As replaced kit.hvset without asking"

# A termination signal ends the program at once, keeping the unsaved work; the next start
# offers it back. A hang-up while the question is up (a logout) keeps it for the start after.
recovery_kept() { ls "$XDG_STATE_HOME"/halvorine/recovery-*.hvset >/dev/null 2>&1; }
kill -TERM "$program_pid"
expect_end "SIGTERM"
recovery_kept || fail "no recovery file"
start_on
expect_question 2 "recovery at start"
kill -HUP "$program_pid"
expect_end "SIGHUP at the recovery question"
recovery_kept || fail "SIGHUP at the question removed the recovery file"

# Return restores it. Restoring is a step: undo shows the start-up state, unnamed and unsaved,
# and keeps the recovery file; Ctrl+S then asks for a file instead of writing kit.hvset.
start_on
expect_question 2 "recovery at start, again"
xdotool key Return
find_panel '^Halvorine v0.2 - kit.hvset\*$'
xdotool key ctrl+z
expect_caption "Halvorine v0.2*"
recovery_kept || fail "undoing the restore removed the recovery file"
xdotool key ctrl+s
wait_for xdotool search --name "^Save sound set$" || fail "Ctrl+S after undoing a restore wrote a file"
expect_dialog "Save sound set"
xdotool key Escape
wait_for active_is "Halvorine v0.2*" || fail "the Save As dialog stayed"
[ "$(md5sum <"$work/kit.hvset")" = "$saved" ] || fail "kit.hvset changed without a save"
xdotool key ctrl+y
expect_caption "Halvorine v0.2 - kit.hvset*"

# Ctrl+Q asks as closing does; Return saves the restored work into its file.
xdotool key ctrl+q
expect_question 1 "quitting with restored work"
xdotool key Return
expect_end "quitting restored work with Save"
[ "$(md5sum <"$work/kit.hvset")" != "$saved" ] || fail "the restored work was not saved"
! recovery_kept || fail "a recovery file stayed after a clean exit"

# The menu key and Shift+F10 open the menu at the focused knob; its first command, New, asks
# about the unsaved change (Escape: Cancel). Ctrl+N with Return saves, then starts afresh.
start_on kit.hvset
find_panel '^Halvorine v0.2 - kit.hvset$'
drag_par_knob1 -20  # the knob takes the focus
expect_caption "Halvorine v0.2 - kit.hvset*"
shown_windows() { xdotool search --onlyvisible --class halvorine 2>/dev/null | wc -l; }
for key in Menu shift+F10; do
  windows=$(shown_windows)
  xdotool key "$key"
  wait_for sh -c "[ \$(xdotool search --onlyvisible --class halvorine | wc -l) -gt $windows ]" ||
    fail "no menu by $key"
  xdotool key Down Return
  expect_question 1 "New from the menu by $key"
  xdotool key Escape
  expect_no_question 1 "after Cancel on New by $key"
  expect_caption "Halvorine v0.2 - kit.hvset*"
  wait_for active_is "Halvorine v0.2 - kit.hvset*" || fail "the panel has no focus after Cancel"
done
xdotool key ctrl+n
expect_question 1 "Ctrl+N over unsaved work"
xdotool key Return
expect_caption "Halvorine v0.2"
xdotool key ctrl+q
expect_end "Ctrl+Q with nothing unsaved"

# The output opened last is opened at the next start; absent, it is waited for and opened once
# it is listed again.
start_jack dump.txt
start_on
find_panel '^Halvorine v0.2$'
pick_first_device
press_open
wait_for program_connected || fail "the device did not open"
xdotool key ctrl+q
expect_end "Ctrl+Q with a device open"
start_on
find_panel '^Halvorine v0.2$'
wait_for program_connected || fail "the output opened last was not opened at start"
xdotool key ctrl+q
expect_end "Ctrl+Q after the device came back"
end_processes "$dump_pid"
wait_for sh -c '! jack_lsp | grep -q midi-monitor:input' || fail "the recorder stayed"
start_on
find_panel '^Halvorine v0.2$'
start_recorder dump2.txt
wait_long 10 program_connected || fail "the awaited output was not opened when it returned"
xdotool key ctrl+q
expect_end "Ctrl+Q at the end"
echo PASS
