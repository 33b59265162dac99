#!/usr/bin/env bash
# The paths that could drop a musician's work, tried as a user would: real X input under a window
# manager, closing through the manager as the title bar's button does, the questions answered
# with keys, the file dialog typed into, and a termination signal whose unsaved work the next
# start offers back. Settings and recovery files stay in the test's own folders.
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
# offers it back (Return: Restore), and Return on closing saves it into its file.
kill -TERM "$program_pid"
expect_end "SIGTERM"
ls "$XDG_STATE_HOME"/halvorine/recovery-*.hvset >/dev/null 2>&1 || fail "no recovery file"
start_on
expect_question 2 "recovery at start"
xdotool key Return
find_panel '^Halvorine v0.2 - kit.hvset\*$'
close_window
expect_question 1 "closing restored work"
xdotool key Return
expect_end "closing restored work with Save"
[ "$(md5sum <"$work/kit.hvset")" != "$saved" ] || fail "the restored work was not saved"
! ls "$XDG_STATE_HOME"/halvorine/recovery-*.hvset >/dev/null 2>&1 ||
  fail "a recovery file stayed after a clean exit"
echo PASS
