#!/usr/bin/env bash
# The panel as an assistive tool sees and drives it: a session bus with the accessibility bus,
# the built program under Xvfb, its tree read over AT-SPI, a sound chosen and a knob set through
# AT-SPI, then the wheel and a key on a knob through X; the bytes that reach a JACK dump checked.
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

start_display
start_accessibility_bus
start_jack dump.txt
start_program "$1"
# The program's first call to the registry started it.
wait_for bus_pid "$a11y_bus" org.a11y.atspi.Registry || fail "the accessibility registry did not start"
pids+=($(bus_pid "$a11y_bus" org.a11y.atspi.Registry))

pick_first_device
press_open

probe tree >"$work/tree.txt" || fail "the tree could not be read"
tree() { grep -c -- "$1" "$work/tree.txt" || true; }
[ "$(tree '^dial|')" = 31 ] || fail "want 31 dials: $(cat "$work/tree.txt")"
[ "$(tree '^check box|[A-Z][A-Z0-9]|')" = 16 ] || fail "want 16 sound boxes"
[ "$(tree '^dial|Filter Freq|0..127=0|focusable$')" = 1 ] || fail "Filter Freq: $(cat "$work/tree.txt")"
[ "$(tree '^dial|Mix A|-100..100=0|')" = 1 ] || fail "Mix A: $(grep 'Mix' "$work/tree.txt")"
[ "$(tree '^check box|BD||checked,focusable$')" = 1 ] || fail "BD is not shown checked"

probe act SD toggle || fail "SD could not be toggled"
probe tree >"$work/tree.txt"
[ "$(tree '^check box|SD||checked')" = 1 ] || fail "SD is not selected: $(grep 'check box' "$work/tree.txt")"
[ "$(tree '^check box|BD||focusable$')" = 1 ] || fail "BD is still selected"

probe set "Filter Freq" 64 || fail "Filter Freq took no value"
sleep 0.3
at 35 83; xdotool click 4; sleep 0.2     # one wheel notch up on Par1
probe tree >"$work/tree.txt"                 # the value hint is on the screen, and readable
[ "$(tree '|Par1: 1|')" = 1 ] || fail "no value hint: $(grep -v '|0\.\.' "$work/tree.txt")"
xdotool click 1; xdotool key Up; sleep 0.5   # a click gives Par1 focus; Up adds one

# SD is sound 1: channel 1, controllers 40 + parameter index.
expect_dumped dump.txt "b0 34 40|b0 28 01|b0 28 02|"
echo "access e2e: AT-SPI reads and sets the panel, the wheel and keys turn a knob"
