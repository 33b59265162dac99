#!/usr/bin/env bash
# The panel as an assistive tool sees and drives it: a session bus with the accessibility bus,
# the built program under Xvfb, its tree read over AT-SPI; a knob turned and a sound chosen with
# the keyboard alone; a sound chosen and a knob set through AT-SPI, then the wheel and a key on a
# knob through X; the bytes that reach a JACK dump checked. Last, at a scale factor of 2 the
# window must still lie wholly on the 1280 x 1024 screen.
#
# usage: access_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
probe() { /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/atspi_probe.py" Halvorine "$@"; }

# A private session bus, and on it the accessibility bus's launcher with the bus it starts. Every
# process is recorded for the clean-up; the registry, started on demand, is recorded once it runs.
start_accessibility_bus() {
  local out a11y
  out=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$out")
  pids+=($(sed -n 2p <<<"$out"))
  /usr/libexec/at-spi-bus-launcher --launch-immediately >"$work/a11y.txt" 2>&1 &
  pids+=($!)
  wait_for dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
    org.a11y.Bus.GetAddress || fail "the accessibility bus did not start"
  a11y=$(dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
    org.a11y.Bus.GetAddress | tr -d ' ')
  a11y_bus=$a11y
  pids+=($(bus_pid "$a11y" org.freedesktop.DBus))
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
}

# The process id of the owner of NAME on the bus at ADDRESS (the bus's own for its driver).
bus_pid() {
  dbus-send --bus="$1" --print-reply=literal --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.GetConnectionUnixProcessID "string:$2" | awk '{ print $2 }'
}

start_display 1280x1024x24
start_accessibility_bus
start_jack dump.txt
start_program "$1"
[ "$X,$Y" = 199,137 ] || fail "the window is at $X,$Y where it fits at 199,137"
# The program's first call to the registry started it.
wait_for bus_pid "$a11y_bus" org.a11y.atspi.Registry || fail "the accessibility registry did not start"
pids+=($(bus_pid "$a11y_bus" org.a11y.atspi.Registry))

# The keyboard alone, the mouse pressing Open and nothing else: the device list starts on its
# first device once it has been read.
device_listed() { probe tree | grep '^list item|midi-monitor:input' >/dev/null; }
wait_long 10 device_listed || fail "the device list was not read"
press_open
keys() { xdotool key --delay 20 $(for i in $(seq "$1"); do printf '%s ' "$2"; done); }
tree() { grep -c -- "$1" "$work/tree.txt" || true; }
# Reads the tree until PATTERN is in it COUNT times (the window answers X input in its own time).
tree_has() { probe tree >"$work/tree.txt" && [ "$(tree "$1")" = "$2" ]; }
keys 7 Tab                                   # from Open past five buttons and Par1's tick box
xdotool key Up                               # Par1 of BD: one control change
# The value hint, and the status line with the value before the port's state.
wait_for tree_has '^label|Par1: 1[|;]' 2 ||
  fail "no value hint and status: $(grep 'focused\|^label' "$work/tree.txt")"
keys 61 Tab                                  # on to HT, the third sound box
xdotool key space
wait_for tree_has '^check box|HT||checked' 1 || fail "Space did not select HT"

[ "$(tree '^dial|')" = 31 ] || fail "want 31 dials: $(cat "$work/tree.txt")"
[ "$(tree '^check box|[A-Z][A-Z0-9]|')" = 16 ] || fail "want 16 sound boxes"
[ "$(tree '^dial|Filter Freq|0..127=0|focusable$')" = 1 ] || fail "Filter Freq: $(cat "$work/tree.txt")"
[ "$(tree '^dial|Mix A|-100..100=0|')" = 1 ] || fail "Mix A: $(grep 'Mix' "$work/tree.txt")"
for name in "Bank A store" "Bank B recall" "Bank A previous preset" "Tick column 1" "Base channel" \
  "MIDI output device" "Tick Filter Freq" "Tick Filter Width"; do
  grep -q "^[a-z ]*|$name|" "$work/tree.txt" || fail "no control named '$name'"
done
# Each of the 89 controls that take focus has a name of its own.
names=$(awk -F'|' '$1 ~ /^(push button|check box|dial|combo box)$/ && $4 ~ /focusable/ { print $2 }' \
  "$work/tree.txt" | sort)
[ "$(grep -c . <<<"$names")" = 89 ] && [ "$(uniq <<<"$names" | grep -c .)" = 89 ] ||
  fail "want 89 distinct names: $(uniq -c <<<"$names" | grep -v '^ *1 ' || echo "$names")"

probe act SD toggle || fail "SD could not be toggled"
wait_for tree_has '^check box|SD||checked' 1 ||
  fail "SD is not selected: $(grep 'check box' "$work/tree.txt")"
[ "$(tree '^check box|BD||focusable$')" = 1 ] || fail "BD is selected"
[ "$(tree '^check box|HT||focusable')" = 1 ] || fail "HT is still selected"

probe set "Filter Freq" 64 || fail "Filter Freq took no value"
expect_dumped dump.txt "b0 10 01|b0 34 40|"
at 35 83; xdotool click 4                    # one wheel notch up on Par1
# The value hint and the status line, readable.
wait_for tree_has '^label|Par1: 1[|;]' 2 || fail "no value hint: $(grep -v '|0\.\.' "$work/tree.txt")"
xdotool click 1; xdotool key Up              # a click gives Par1 focus; Up adds one

# BD is sound 0, SD sound 1: channel 1, controllers 16 and 40 + parameter index.
expect_dumped dump.txt "b0 10 01|b0 34 40|b0 28 01|b0 28 02|"

# Twice the size does not fit where it stands: the window is moved onto the screen, whole.
end_processes "$program_pid"
QT_SCALE_FACTOR=2 start_program "$1"
[ "$WIDTH,$HEIGHT" = 1140,948 ] || fail "at scale 2 the window is ${WIDTH}x$HEIGHT"
((X >= 0 && Y >= 0 && X + WIDTH <= 1280 && Y + HEIGHT <= 1024)) ||
  fail "at scale 2 the window is at $X,$Y, partly off the 1280 x 1024 screen"
echo "access e2e: the keyboard and AT-SPI reach and name every control, the wheel and keys turn" \
  "a knob, the window stays on the screen at scale 2"
