#!/usr/bin/env bash
# The input script of the JACK suite (tests/app/input_faults_e2e.sh) on a real ALSA sequencer,
# inside the VM of alsa_vm.sh. amidi plays into the raw side of one virtual cable, whose sequencer
# port is the panel's --input; the panel's output goes to a second cable, whose raw side shows what
# went out. Cut-off messages, running status, system exclusive without its end, real-time bytes
# inside it and another clock's bytes, with thru on and the panel's clock at a tempo: exactly the
# whole messages go on and the received Start starts nothing. Then the second cable's raw side is
# played back into the first, an instrument that echoes: the mix knob still moves the ticked
# parameter.
#
# usage: alsa_input_faults_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/../app/e2e_lib.sh"
program=$1
input="Virtual Raw MIDI 0-0:VirMIDI 0-0 16:0"
output="Virtual Raw MIDI 0-1:VirMIDI 0-1 17:0"

# The messages in the raw bytes of a file, "b0 10 40|fa|...", running status written out in full,
# system exclusive left out.
messages() {
  od -An -tx1 -v "$1" | tr -s ' \n' '\n\n' | awk '
    function hex(s) { return (index(H, substr(s, 1, 1)) - 1) * 16 + index(H, substr(s, 2, 1)) - 1 }
    function data(b) {
      if (b < 192 || (b >= 224 && b < 240) || b == 242) return 2
      if (b < 224 || b == 241 || b == 243) return 1
      return 0
    }
    BEGIN { H = "0123456789abcdef" }
    NF == 1 {
      b = hex($1)
      if (b >= 248) { printf "%s|", $1; next }
      if (b >= 128) {
        sysex = b == 240; status = 0; have = 0
        if (b == 240 || b == 247) next
        if (data(b) == 0) { printf "%s|", $1; next }
        status = b; message = $1; need = data(b); next
      }
      if (sysex || status == 0) next
      have++; message = message " " $1
      if (have < need) next
      printf "%s|", message
      have = 0; message = sprintf("%02x", status)
      if (status >= 240) status = 0
    }'
}
after() { messages "$work/out.bin" | cut -d'|' -f$((marks + 1))-; }

start_display
cat /dev/snd/midiC0D1 >"$work/out.bin" &
reader=$!
pids+=($reader)
start_program "$program" --device "$output" --input "$input" --thru --tempo 120
press_open
for try in $(seq 100); do
  amidi -p hw:0,0 -S "cf 01"
  sleep 0.05
  messages "$work/out.bin" | grep -q "cf 01" && break
done
messages "$work/out.bin" | grep -q "cf 01" || fail "nothing came through"
amidi -p hw:0,0 -S "cf 02"
wait_for sh -c "$(declare -f messages); messages '$work/out.bin' | grep -q 'cf 02'" ||
  fail "the last marker did not come"
marks=$(messages "$work/out.bin" | tr '|' '\n' | grep -c .)

amidi -p hw:0,0 -S "b2 55 66 b0 c0 e0 01 b2 55 67 90 24 64 24 00 f0 7d 01 02 b0 10 41 \
  f0 7d fe 01 f7 fa f8 fc c3 05"
want="b2 55 66|b2 55 67|90 24 64|90 24 00|b0 10 41|fe|c3 05|"
for i in $(seq 200); do [ "$(after)" = "$want" ] && break; sleep 0.05; done
[ "$(after)" = "$want" ] || fail "thru: got '$(after)', want '$want'"
# Had the received Start started the panel's clock, its ticks would stand before the panel's own
# Start, pressed after the marker came.
press_start
for i in $(seq 200); do after | grep -q "fa|f8" && break; sleep 0.05; done
[ "$(after | cut -d'|' -f1-9)" = "${want}fa|f8" ] || fail "before the panel's Start: $(after)"
kill "$program_pid" "$reader"
wait "$program_pid" "$reader" 2>/dev/null || true
grep -q "halvorine:" "$work/program.txt" && fail "the program complained"

# The echo: what goes out on the second cable comes back in on the first.
tee "$work/echo.bin" </dev/snd/midiC0D1 >/dev/snd/midiC0D0 &
pids+=($!)
sent() { messages "$work/echo.bin" | tr '|' '\n' | grep -c '^b0 11 '; }
export XDG_CONFIG_HOME="$work/config2" XDG_STATE_HOME="$work/state2"
start_program "$program" --device "$output" --input "$input"
press_open
xdotool key ctrl+Return
for i in $(seq 200); do [ "$(sent)" -ge 1 ] && break; sleep 0.05; done
[ "$(sent)" -ge 1 ] || fail "Send all did not go out: $(messages "$work/echo.bin")"
base=$(sent)
tick_box2
drag_mix_knob -50
for i in $(seq 200); do [ "$(sent)" -ge $((base + 2)) ] && break; sleep 0.05; done
[ "$(sent)" -ge $((base + 2)) ] || fail "the morph sent nothing: $(messages "$work/echo.bin")"
drag_mix_knob -50
for i in $(seq 200); do [ "$(sent)" -ge $((base + 3)) ] && break; sleep 0.05; done
[ "$(sent)" -ge $((base + 3)) ] ||
  fail "the echo took parameter 2 out of the morph: $(messages "$work/echo.bin")"
grep -q "halvorine:" "$work/program.txt" && fail "the program complained"
echo "alsa input faults e2e: whole messages only, no other clock, the echo changed nothing"
