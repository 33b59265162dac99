#!/usr/bin/env bash
# The panel's input on JACK against instruments that do what instruments do. One plays messages
# cut off before their data bytes, running status, system exclusive without its end, real-time
# bytes inside system exclusive, and another clock's Start, tick and Stop: with thru on and the
# panel's clock at a tempo, exactly the whole messages go on, nothing is completed, the input does
# not go deaf, and the received Start starts nothing. The other merges its input into its output:
# the values the panel sends come back, and the mix knob still moves the ticked parameter. The
# program shows one JACK client, "Halvorine", with the ports "out" and "in".
#
# usage: input_faults_e2e.sh PATH/TO/halvorine PATH/TO/jack_midi_send PATH/TO/jack_midi_echo
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
export HOME="$work/home"
mkdir -p "$HOME"

start_display
start_jack dump.txt

start_instrument "$2"

# No client of the script's own (jack_lsp) comes or goes while the program opens its own: the
# JACK library of a process that opens a client while another leaves may never hear from the
# newcomer. The program's connections are proven by what comes through them instead.
start_program "$1" --input instrument:out --thru --tempo 120 --device midi-monitor:input
press_open
# Thru carries the marker once the input and the output are both connected.
for try in $(seq 100); do
  play "cf 01"
  sleep 0.05
  dumped dump.txt | grep -q "cf 01" && break
done
dumped dump.txt | grep -q "cf 01" || fail "nothing came through"
# Every marker still on its way comes before this last one.
play "cf 02"
wait_for sh -c "grep -q ': cf 02' '$work/dump.txt'" || fail "the last marker did not come"
marks=$(dumped dump.txt | tr '|' '\n' | grep -c .)
ours=$(jack_lsp | grep '^Halvorine' | sort | xargs)
[ "$ours" = "Halvorine:in Halvorine:out" ] || fail "the program's ports: $ours"

play "b2 55 66" "b0" "c0" "e0 01" "b2 55 67" "90 24 64" "24 00" \
  "f0 7d 01 02" "b0 10 41" "f0 7d fe 01 f7" "fa" "f8" "fc" "c3 05"
after() { dumped dump.txt | cut -d'|' -f$((marks + 1))-; }
want="b2 55 66|b2 55 67|90 24 64|90 24 00|b0 10 41|fe|c3 05|"
for i in $(seq 100); do [ "$(after)" = "$want" ] && break; sleep 0.05; done
[ "$(after)" = "$want" ] || fail "thru: got '$(after)', want '$want'"
# Had the received Start started the panel's clock, its ticks would stand before the panel's own
# Start, pressed after the marker came.
press_start
wait_for sh -c "grep -c ': f8' '$work/dump.txt' | grep -qv '^0$'" || fail "the clock did not start"
[ "$(after | cut -d'|' -f1-9)" = "${want}fa|f8" ] || fail "before the panel's Start: $(after)"
kill "$program_pid"
wait "$program_pid" 2>/dev/null || true
grep -q "halvorine:" "$work/program.txt" && fail "the program complained"

# The echo: what the panel sends to echo:in comes back from echo:out, into the panel and the dump.
"$3" echo >"$work/echo.txt" 2>&1 &
pids+=($!)
wait_for grep -q "^# ready" "$work/echo.txt" || fail "the echo did not start"
jack_connect echo:out midi-monitor:input
sent() { dumped dump.txt | tr '|' '\n' | grep -c '^b0 11 '; }
at_least() { [ "$(sent)" -ge "$1" ]; }
# A panel of its own: no settings and no work to recover from the first.
export XDG_CONFIG_HOME="$work/config2" XDG_STATE_HOME="$work/state2"
start_program "$1" --input echo:out --device echo:in
press_open
# Send all goes out through the echo to the dump; by then the input has long been connected.
before=$(dumped dump.txt | tr '|' '\n' | grep -c .)
xdotool key ctrl+Return
wait_for sh -c "[ \$(awk '/^ *[0-9]+: /' '$work/dump.txt' | wc -l) -ge $((before + 24)) ]" ||
  fail "Send all did not come back: $(dumped dump.txt)"
jack_lsp -c | grep -A2 "^echo:out$" | grep -q "Halvorine:in" ||
  fail "the input is not connected from the echo"
base=$(sent)
tick_box2       # parameter 2 follows the morph: bank A's preset gives 98, sent and echoed
drag_mix_knob -50
wait_for at_least $((base + 2)) || fail "the morph sent nothing: $(dumped dump.txt)"
drag_mix_knob -50  # the echo left parameter 2 ticked: it moves again
wait_for at_least $((base + 3)) || fail "the echo took parameter 2 out of the morph: $(dumped dump.txt)"
kill "$program_pid"
wait "$program_pid" 2>/dev/null || true
grep -q "halvorine:" "$work/program.txt" && fail "the program complained"
echo PASS
