#!/usr/bin/env bash
# The panel hears the instrument on a real ALSA sequencer, inside the VM of alsa_vm.sh: amidi plays
# into the raw side of one virtual cable, whose sequencer port is the panel's --input; the panel's
# output goes to a second cable, whose raw side shows that nothing is sent back and that Ctrl+Return
# then sends the received values.
#
# usage: alsa_input_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/../app/e2e_lib.sh"
program=$1
input="Virtual Raw MIDI 0-0:VirMIDI 0-0 16:0"
output="Virtual Raw MIDI 0-1:VirMIDI 0-1 17:0"

# The data bytes at the output cable (the kernel may give control changes running status).
data() { od -An -tx1 -v "$work/out.bin" | xargs -n1 | grep -v '^[89a-f]' | xargs; }
data_count() { [ "$(data | wc -w)" -ge "$1" ]; }

start_display
cat /dev/snd/midiC0D1 >"$work/out.bin" &
pids+=($!)
start_program "$program" --device "$output" --input "$input"
press_open
xdotool key ctrl+Return
wait_for data_count 48 || fail "Ctrl+Return: '$(data)'"
before=$(data)
# BD's first two parameters; channel 6 and controller 64 are ignored.
amidi -p hw:0,0 -S "b0 10 40 b0 11 05 b5 10 33 b0 40 11"
# Ctrl+Return until a send carries what was received (48 data bytes a send): anything the panel sent
# back on its own would stand between the sends and break their count.
sends=1
for try in $(seq 20); do
  xdotool key ctrl+Return
  sends=$((sends + 1))
  wait_for data_count $((48 * sends)) || fail "Ctrl+Return after receiving: '$(data)'"
  [ "$(data | cut -d' ' -f$((48 * sends - 47))-$((48 * sends - 44)))" = "10 40 11 05" ] && break
done
[ "$(data | wc -w)" = $((48 * sends)) ] || fail "received values were sent back: '$(data)'"
last=$(data | cut -d' ' -f$((48 * sends - 47))-)
[ "$(echo "$last" | cut -d' ' -f1-4)" = "10 40 11 05" ] || fail "after receiving, sent '$last'"
[ "$(echo "$last" | cut -d' ' -f5-)" = "$(echo "$before" | cut -d' ' -f5-)" ] || fail "the rest changed"
grep -q "halvorine:" "$work/program.txt" && fail "the program complained"
echo "alsa input e2e: followed without echo, ignored the rest, Ctrl+Return sent what came"
