#!/usr/bin/env bash
# The panel on PipeWire's JACK, as most desktops run it: a private PipeWire (its stock
# configuration, whose dummy driver needs no sound card, and a session bus of its own; no session
# manager), the panel and the recorder under pw-jack. With --tempo 120 the panel's bytes arrive,
# and the clock keeps its grid of the server's frames (clock_judge.awk): at 48 kHz (1000 frames a
# tick), across changes of the cycle size forced while it runs, and from a change of the rate to
# 44.1 kHz on (918.75 frames a tick: 918 or 919 each, 918.75 on average).
#
# Where PipeWire cannot start here, the test is skipped (77) and says why.
#
# usage: pipewire_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

skip() {
  echo "SKIP: $*"
  exit 77
}

for tool in pipewire pw-jack pw-metadata dbus-daemon; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

# A runtime folder and a session bus of the test's own: PipeWire's socket and its clients'
# lookups stay inside them.
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile \
  >"$work/dbus.txt" 2>&1 &
pids+=($!)
wait_for test -S "$work/bus" || skip "no session bus: $(tail -n 3 "$work/dbus.txt")"
pipewire >"$work/pipewire.txt" 2>&1 &
pipewire_pid=$!
pids+=($pipewire_pid)
if ! wait_for test -S "$XDG_RUNTIME_DIR/pipewire-0" || ! kill -0 "$pipewire_pid" 2>/dev/null; then
  skip "PipeWire did not start: $(tail -n 3 "$work/pipewire.txt")"
fi
export JACK_NO_START_SERVER=1

settings() { pw-metadata -n settings 0 "$@" >/dev/null; }

[ -x "${HALVORINE_JACK_RECORDER:-}" ] || fail "HALVORINE_JACK_RECORDER names no recorder"
pw-jack "$HALVORINE_JACK_RECORDER" >"$work/dump.txt" 2>&1 &
dump_pid=$!
pids+=($dump_pid)
wait_long 10 recorder_settled dump.txt || true
grep -qx '# ready' "$work/dump.txt" || fail "the recorder did not start on PipeWire"

ticks() { grep -c ': f8 ' "$work/dump.txt"; }
at_least_ticks() { [ "$(ticks)" -ge "$1" ]; }
# Waits for $1 more ticks than there are now.
more_ticks() {
  local want=$(($(ticks) + $1))
  wait_long 60 at_least_ticks "$want" || fail "only $(ticks) of $want ticks"
}
# Waits until the recorder's cycles have the rate or size given ("rate 44100", "quantum 256").
server_has() { wait_long 30 grep -q "^# $1 from " "$work/dump.txt" || fail "the server never had $1"; }

start_display
start_program pw-jack "$1" --tempo 120 --device midi-monitor:input
press_open
wait_for sh -c "pw-jack jack_lsp -c | grep -A1 '^Halvorine:out$' | grep -q midi-monitor:input" ||
  fail "the output is not connected"

# At 48 kHz, in the server's own cycle size.
press_start
more_ticks 96
press_stop
drag_par_knob1 -10
expect_dumped_prefix() { [ "$(dumped dump.txt | tr '|' '\n' | grep -v '^f8$' | tr '\n' '|')" = "$1" ]; }
wait_for expect_dumped_prefix "fa|fc|b0 10 09|" ||
  fail "got '$(dumped dump.txt | tr '|' '\n' | grep -v '^f8$' | tr '\n' '|')'"

# The cycle size changes under the running clock, then the rate, then the size again.
press_start
more_ticks 24
for size in 256 1024 128; do
  settings clock.force-quantum "$size"
  server_has "quantum $size"
  more_ticks 48
done
settings clock.force-rate 44100
server_has "rate 44100"
more_ticks 96
settings clock.force-quantum 512
server_has "quantum 512"
more_ticks 96
press_stop
drag_par_knob1 -10
wait_for grep -q ': b0 10 12 ' "$work/dump.txt" || fail "the control change after Stop did not come"

end_processes "$program_pid"
if grep -q "halvorine:" "$work/program.txt"; then fail "the program complained"; fi

verdict=$(awk -v bpm=120 -f "$(dirname "${BASH_SOURCE[0]}")/clock_judge.awk" "$work/dump.txt")
echo "$verdict" | tail -n +2
[ -z "$(head -n 1 <<<"$verdict")" ] || fail "the clock:$(head -n 1 <<<"$verdict")"
grep -q '2 Start(s), 0 Continue(s), 2 Stop(s)' <<<"$verdict" || fail "not two Starts and Stops"
grep -q '^spacing 1000: ' <<<"$verdict" || fail "no spacing at 48 kHz"
grep -q '^spacing 918.75: .* from 918 to 919$' <<<"$verdict" || fail "no spacing at 44.1 kHz"
echo PASS
