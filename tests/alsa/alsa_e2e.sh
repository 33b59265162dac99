#!/usr/bin/env bash
# The panel on a real ALSA sequencer, inside the VM of alsa_vm.sh: the list, an open by the full
# name, the bytes at the raw side of a virtual cable, Close and Open, wire pacing measured there,
# Send all reaching a slow user-space sink whole, the sink returning under another number, and the
# MIDI clock between Start and Stop.
#
# usage: alsa_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/../app/e2e_lib.sh"
program=$1
cable="Virtual Raw MIDI 0-0:VirMIDI 0-0 16:0"

# Counts the data bytes at the cable (the kernel gives one channel's control changes running
# status) until there are $1; writes the count and the ms from the first byte to the last.
read_cable() {
  timeout 30 python3 -c '
import os, sys, time
fd, got, first = os.open("/dev/snd/midiC0D0", os.O_RDONLY), 0, None
while got < int(sys.argv[2]):
  got += sum(b < 0x80 for b in os.read(fd, 4096))
  first, last = first or time.monotonic(), time.monotonic()
  open(sys.argv[1], "w").write("%d %d\n" % (got, (last - first) * 1000))' "$work/pace.txt" "$1"
}
# Ends the program and moves the pointer away: a --sync move to where it already is never ends.
# The unsaved work it keeps for a next start is not wanted here: each run starts afresh.
quit_program() {
  kill "$program_pid"
  wait "$program_pid" || true
  rm -f "$XDG_STATE_HOME"/halvorine/recovery-*
  xdotool mousemove 0 0
}
changes() { grep -c "Control change" "$work/$1" || true; }
has_changes() { [ "$(changes "$1")" -ge "$2" ]; }
start_sink() {
  stdbuf -oL aseqdump >"$work/$1" 2>&1 &
  pids+=($!)
  sink_pid=$!
  wait_for grep -q "Waiting for data" "$work/$1" || fail "aseqdump did not start"
  sink=$(sed -n 's/.*at port \([0-9]*\):0.*/\1/p' "$work/$1")
}

env -u DISPLAY "$program" --list-devices >"$work/list.txt" || fail "--list-devices failed"
for name in "$cable" "Midi Through:Midi Through Port-0 14:0"; do
  grep -qxF "$name" "$work/list.txt" || fail "no '$name' in: $(cat "$work/list.txt")"
done

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
drag_par_knob1 -10   # 9 + 9 + 9
sleep 0.5
got=$(od -An -tx1 "$work/cable.bin" | xargs)
[ "$got" = "b0 10 09 fa b0 10 1b" ] || fail "at the cable: '$got'"
quit_program

read_cable 768 &   # Send all: 384 control changes, 1152 bytes, 368 ms at 3125 bytes a second
reader=$!
start_program "$program" --device "$cable" --midi-rate "$cable=3125"
press_open
xdotool key ctrl+shift+Return
wait "$reader" || true
read -r count ms <"$work/pace.txt"
[ "$count" = 768 ] && [ "$ms" -ge 360 ] || fail "paced Send all: $count data bytes in $ms ms"
quit_program
echo "[$SECONDS s] cable bytes, Close and Open; paced Send all: $count data bytes in $ms ms"

start_sink dump_sink1.txt
first=$sink
start_program "$program" --device "aseqdump:aseqdump $first:0"
press_open
xdotool key ctrl+shift+Return
wait_long 20 has_changes dump_sink1.txt 384 || true
[ "$(changes dump_sink1.txt)" = 384 ] || fail "Send all: $(changes dump_sink1.txt) of 384"
kill "$sink_pid"
for try in 1 2 3 4 5; do   # another client takes the sink's number
  arecordmidi -p 14:0 "$work/blocker.mid" &
  pids+=($!)
  sleep 0.3
  grep -q "^Client *$first : \"arecordmidi\"" /proc/asound/seq/clients && break
  kill $!
done
drag_par_knob1 -10   # waits for the sink
start_sink dump_sink2.txt
[ "$sink" != "$first" ] || fail "the sink came back as $first again"
wait_long 10 has_changes dump_sink2.txt 1 || fail "the returned sink got nothing"
grep -q "controller 16, value 9$" "$work/dump_sink2.txt" || fail "the returned sink got another value"
quit_program

# The clock from the worker's timer: Start, ticks, Stop, and no tick after it.
start_sink dump_clock.txt
start_program "$program" --device "aseqdump:aseqdump $sink:0" --tempo 300
press_open
press_start
wait_long 10 grep -q "Clock" "$work/dump_clock.txt" || fail "no clock tick after Start"
sleep 1
press_stop
wait_long 10 grep -q "Stop" "$work/dump_clock.txt" || fail "no Stop"
sleep 0.3
events=$(awk '$2 ~ /^(Start|Clock|Stop)$/ { print $2 }' "$work/dump_clock.txt" | uniq -c | xargs)
[[ "$events" =~ ^1\ Start\ ([0-9]+)\ Clock\ 1\ Stop$ ]] && [ "${BASH_REMATCH[1]}" -ge 60 ] ||
  fail "clock at the sink: '$events'"
echo "alsa e2e: list, cable bytes, Close/Open, pacing, Send all to aseqdump whole, sink return, clock"
