#!/usr/bin/env bash
# The panel on a real ALSA sequencer (run inside the VM of alsa_vm.sh): the device list, an open by
# the full name, the bytes at the raw side of a virtual cable, Close and Open, wire pacing measured
# at the cable, a burst to a slow user-space sink that arrives whole, and a sink that leaves and
# comes back under another client number.
#
# usage: alsa_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/../app/e2e_lib.sh"
program=$1
cable="Virtual Raw MIDI 0-0:VirMIDI 0-0 16:0"
through="Midi Through:Midi Through Port-0 14:0"

# Reads the cable's raw side until $1 data bytes came (the kernel sends control changes of one
# channel with running status) or $2 seconds passed; writes the data bytes and the milliseconds
# from the first byte to the last to $work/pace.txt.
read_cable() {
  timeout "$2" python3 -c '
import os, sys, time
fd, want, got, first = os.open("/dev/snd/midiC0D0", os.O_RDONLY), int(sys.argv[2]), 0, None
with open(sys.argv[1], "w") as out:
  while got < want:
    got += sum(b < 0x80 for b in os.read(fd, 4096))
    first, last = first or time.monotonic(), time.monotonic()
    out.seek(0); out.write("%d %d\n" % (got, (last - first) * 1000)); out.flush()
' "$work/pace.txt" "$1" || true
}
cable_bytes() { od -An -tx1 "$work/$1" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }
expect_cable() {
  local got
  got=$(cable_bytes "$1")
  [ "$got" = "$2" ] || fail "$1: got '$got', want '$2'"
}
send_all() { xdotool key ctrl+shift+Return; }
# Ends the program and moves the pointer off its controls: a move --sync to where the pointer
# already is waits for a motion that never comes.
quit_program() {
  kill "$program_pid"
  wait "$program_pid" || true
  xdotool mousemove 0 0
}
control_changes() { grep -c "Control change" "$work/$1" || true; }
sink_has() { [ "$(control_changes "$1")" -ge "$2" ]; }

# The list: one full name a line, no display needed.
env -u DISPLAY -u WAYLAND_DISPLAY "$program" --list-devices >"$work/list.txt" 2>&1 || fail "--list-devices failed"
grep -qxF "$cable" "$work/list.txt" || fail "no '$cable' in: $(cat "$work/list.txt")"
grep -qxF "$through" "$work/list.txt" || fail "no '$through' in: $(cat "$work/list.txt")"

# Open by the full name, send, Close and Open: every byte at the cable, in order.
start_display
cat /dev/snd/midiC0D0 >"$work/cable.bin" &
pids+=($!)
start_program "$program" --device "$cable"
press_open
drag_par_knob1 -10
press_start
press_close
drag_par_knob1 -10   # closed: nothing goes out
press_open
drag_par_knob1 -10
sleep 0.5
expect_cable cable.bin "b0 10 09 fa b0 10 1b"
quit_program
echo "[$SECONDS s] cable bytes, Close and Open"

# Wire pacing at the cable: 384 control changes of 3 bytes at 3125 bytes a second take 368 ms.
read_cable 768 30 &
reader=$!
start_program "$program" --device "$cable" --midi-rate "$cable=3125"
press_open
send_all
wait "$reader"
read -r count ms <"$work/pace.txt"
[ "$count" = 768 ] && [ "$ms" -ge 360 ] || fail "paced Send all: $count data bytes in $ms ms"
quit_program
echo "[$SECONDS s] paced Send all: $count data bytes in $ms ms"

# A slow user-space sink gets the whole burst; it leaves and returns as another client.
stdbuf -oL aseqdump >"$work/dump_sink1.txt" 2>&1 &
pids+=($!)
sink_pid=$!
wait_for grep -q "Waiting for data" "$work/dump_sink1.txt" || fail "aseqdump did not start"
first=$(sed -n 's/.*at port \([0-9]*\):0.*/\1/p' "$work/dump_sink1.txt")
start_program "$program" --device "aseqdump:aseqdump $first:0"
press_open
send_all
wait_long 20 sink_has dump_sink1.txt 384 || true
[ "$(control_changes dump_sink1.txt)" = 384 ] ||
  fail "Send all to aseqdump: $(control_changes dump_sink1.txt) of 384"
echo "[$SECONDS s] Send all to aseqdump: 384 of 384"
kill "$sink_pid"
# Another client takes the sink's number (tried again should the panel's own look at the list
# have held that number for a moment).
for try in 1 2 3 4 5; do
  arecordmidi -p 14:0 "$work/blocker.mid" &
  pids+=($!)
  sleep 0.3
  grep -q "^Client *$first : \"arecordmidi\"" /proc/asound/seq/clients && break
  kill $!
done
drag_par_knob1 -10   # waits for the sink
stdbuf -oL aseqdump >"$work/dump_sink2.txt" 2>&1 &
pids+=($!)
wait_for grep -q "Waiting for data" "$work/dump_sink2.txt" || fail "aseqdump did not start again"
! grep -q "at port $first:0" "$work/dump_sink2.txt" || fail "the sink came back as $first again"
wait_long 10 grep -q "Control change" "$work/dump_sink2.txt" || fail "the returned sink got nothing"
grep "Control change" "$work/dump_sink2.txt" | grep -q "controller 16, value 9$" ||
  fail "the returned sink: $(cat "$work/dump_sink2.txt")"
echo "alsa e2e: list, open by name, cable bytes, Close/Open, pacing, burst, sink return"
