#!/usr/bin/env bash
# A sound set as a user works with it: the program started with a set file, Ctrl+Return sends the
# selected sound's 24 values to a JACK server's dump, a drag changes one, Ctrl+S saves, and the
# saved file started again sends the changed values. Settings go to a folder of the test's own.
#
# usage: sound_set_e2e.sh PATH/TO/halvorine
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
export HOME="$work/home" XDG_CONFIG_HOME="$work/config"
mkdir -p "$HOME" "$XDG_CONFIG_HOME"

# A set whose selected sound BD holds the values 1 to 24; every other field at its start value.
write_set() {
  local s i values zeros sounds="" names=(BD SD HT MT LT CP RS CB CH OH RC CC M1 M2 M3 M4)
  zeros=$(printf '0,%.0s' $(seq 24)); zeros="[${zeros%,}]"
  for s in "${!names[@]}"; do
    values=$zeros
    if [ "$s" = 0 ]; then values="[$(seq -s, 1 24)]"; fi
    sounds+="\"${names[$s]}\": {\"values\": $values,
      \"ticked\": [$(printf 'false,%.0s' $(seq 23))false],
      \"bankA\": {\"source\": \"preset\", \"stored\": $zeros, \"preset\": [0, 0]},
      \"bankB\": {\"source\": \"preset\", \"stored\": $zeros, \"preset\": [127, 127]},
      \"mix\": 0, \"mixA\": 0, \"mixB\": 0}"
    if [ "$s" != 15 ]; then sounds+=","; fi
  done
  cat >"$1" <<JSON
{"format": "halvorine-sound-set", "version": 1, "device": "", "baseChannel": 1,
 "selectedSound": "BD", "sounds": {$sounds}}
JSON
}

# Starts the program on a set; the caption names the file.
start_with_set() {
  unset QT_QPA_PLATFORM
  "$1" "$2" >>"$work/program.txt" 2>&1 &
  program_pid=$!
  pids+=($program_pid)
  wait_for xdotool search --name "^Halvorine v0.2 - set.hvset$" || fail "no window with the set"
  window=$(xdotool search --name "^Halvorine v0.2 - set.hvset$" | head -n 1)
  eval "$(xdotool getwindowgeometry --shell "$window")"
  sleep 0.5
}

caption() { xdotool getwindowname "$window"; }

# The 24 control changes of BD with the given values, as the dump prints them.
bd_values() {
  local i out="" v=("$@")
  for i in $(seq 0 23); do out+=$(printf 'b0 %02x %02x|' $((16 + i)) "${v[$i]}"); done
  echo "$out"
}

start_display
start_jack dump.txt
write_set "$work/set.hvset"

start_with_set "$1" "$work/set.hvset"
pick_first_device
press_open                      # nothing is ticked: nothing sent
xdotool key ctrl+Return; sleep 0.3
drag_par_knob1 -10              # 1 + 10 x 127 / 128 = 10
caption_is() { [ "$(caption)" = "$1" ]; }
wait_for caption_is "Halvorine v0.2 - set.hvset*" || fail "caption after the drag: $(caption)"
xdotool key ctrl+s
wait_for caption_is "Halvorine v0.2 - set.hvset" || fail "caption after saving: $(caption)"
end_processes "$program_pid"

start_with_set "$1" "$work/set.hvset"
pick_first_device
press_open
xdotool key ctrl+Return

expect_dumped dump.txt "$(bd_values $(seq 1 24))b0 10 0a|$(bd_values 10 $(seq 2 24))"

# Send all: sixteen sounds of 24 control changes, every one its own channel and controller, all of
# them reaching the dump (whose ring holds about a hundred messages) in the order sent.
before=$(dumped dump.txt | tr '|' '\n' | grep -c .)
xdotool key ctrl+shift+Return
all_arrived() { [ "$(dumped dump.txt | tr '|' '\n' | grep -c .)" -ge $((before + 384)) ]; }
wait_long 30 all_arrived || true
all=$(dumped dump.txt | tr '|' '\n' | tail -n +$((before + 1)))
[ "$(echo "$all" | grep -c .)" = 384 ] || fail "Send all: $(echo "$all" | grep -c .) of 384 arrived"
[ "$(echo "$all" | sort -u | grep -c .)" = 384 ] || fail "Send all: a message came twice"
[ "$(echo "$all" | head -n 24 | tr '\n' '|')" = "$(bd_values 10 $(seq 2 24))" ] ||
  fail "Send all: the first sound is not BD as saved"
echo "sound set e2e: the set opened, was sent, saved and opened again with the change; Send all arrived whole"
