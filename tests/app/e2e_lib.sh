# Shared by the end-to-end scripts: a display, a JACK server with a recorder as the instrument,
# the program under test, and X input. Sourced. Everything started is stopped on exit.
set -euo pipefail

work=$(mktemp -d)
# The program's settings and recovery copies stay with the test.
export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
server="halvorine-e2e-$$"
pids=()
dump_pid=""
jackd_pid=""

# Ends the processes given: SIGTERM, then SIGKILL for what has not ended ten seconds later (said on
# standard error: a program that hangs at its end is noted, not waited for forever).
end_processes() {
  local pid i alive
  [ $# -gt 0 ] || return 0
  kill "$@" 2>/dev/null || true
  for i in $(seq 200); do
    alive=0
    for pid in "$@"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.05
  done
  for pid in "$@"; do
    if kill -0 "$pid" 2>/dev/null; then
      echo "note: $(ps -o comm= -p "$pid") ($pid) had not ended 10 s after SIGTERM: killed" >&2
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
}

cleanup() {
  if [ -n "${watchdog_pid:-}" ]; then
    pkill -P "$watchdog_pid" 2>/dev/null || true
    kill "$watchdog_pid" 2>/dev/null || true
  fi
  end_processes "${pids[@]}"
  rm -rf "$work"
}
trap cleanup EXIT

# A script still running shortly before its CTest limit says where it waits (its children and
# their kernel wait channels, and what the dumps and the program printed) before CTest kills it
# without a word.
watchdog() {
  sleep "${HALVORINE_E2E_LIMIT:-105}" >/dev/null 2>&1 </dev/null
  {
    echo "FAIL: still running after ${HALVORINE_E2E_LIMIT:-105} s; its processes:"
    ps -o pid,stat,wchan:24,etime,args --ppid "$1" 2>/dev/null
    local f
    for f in "$work"/dump*.txt "$work/program.txt" "$work/jackd.txt"; do
      [ -f "$f" ] && { echo "--- $(basename "$f") ---"; tail -n 40 "$f"; }
    done
  } >&2
  kill -TERM "$1"
}
watchdog $$ &
watchdog_pid=$!

fail() {
  echo "FAIL: $*" >&2
  local f
  for f in "$work"/dump*.txt "$work/program.txt" "$work/jackd.txt" "$work/pipewire.txt"; do
    [ -f "$f" ] && { echo "--- $(basename "$f") ---" >&2; cat "$f" >&2; }
  done
  exit 1
}

# Polls a command for up to five seconds.
wait_for() {
  local i
  for i in $(seq 100); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.05
  done
  return 1
}

# Polls a command four times a second for up to $1 seconds.
wait_long() {
  local i limit=$(($1 * 4))
  shift
  for i in $(seq "$limit"); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.25
  done
  return 1
}

# A display of our own at a high, random number: low numbers may be taken by a server we cannot
# see (an abstract socket of another mount namespace), which would refuse our clients. Xvfb writes
# the number to -displayfd only once it listens on it, so a number that another test's server took
# at the same moment is never mistaken for ours: that Xvfb exits and the next number is tried.
# usage: start_display [WIDTHxHEIGHTxDEPTH], 1024x768x24 unless given
start_display() {
  local try i number pid screen=${1:-1024x768x24}
  for try in $(seq 20); do
    number=$((100 + RANDOM % 800))
    [ -e "/tmp/.X$number-lock" ] && continue
    : >"$work/xvfb.fd"
    Xvfb ":$number" -screen 0 "$screen" -nolisten tcp -noreset -displayfd 3 \
      3>"$work/xvfb.fd" >"$work/xvfb.txt" 2>&1 &
    pid=$!
    for i in $(seq 200); do
      [ -s "$work/xvfb.fd" ] || ! kill -0 "$pid" 2>/dev/null && break
      sleep 0.05
    done
    if [ "$(tr -d '[:space:]' <"$work/xvfb.fd")" = "$number" ] && kill -0 "$pid" 2>/dev/null &&
      DISPLAY=":$number" wait_for xdotool getdisplaygeometry; then
      pids+=($pid)
      export DISPLAY=":$number"
      return 0
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  fail "Xvfb did not start"
}

# Starts the JACK server (dummy driver, no sound card; synchronous, so that on a busy machine a
# cycle waits for a late client rather than going on without it and losing what it carried) and the recorder ("the dump",
# $HALVORINE_JACK_RECORDER, port midi-monitor:input) writing to $work/$1: a line a message, the
# server's frame time of its arrival, then its bytes ("52992: b0 10 40"), and a summary line of
# missed cycles and xruns ("# cycles ...") when it ends.
#
# With "quiet" as $2 (a server started under a running program), no JACK client is opened to
# watch it come up: the JACK library of a process that opens a client while another client leaves
# the server may keep a stale wake-up for the departed client's slot, and a client that later takes
# that slot never hears from that process. The scripts' own short-lived clients (jack_lsp) would
# provoke exactly that while the program looks for its device. The server's socket tells when it
# listens.
start_jack() {
  [ -x "${HALVORINE_JACK_RECORDER:-}" ] || fail "HALVORINE_JACK_RECORDER names no recorder"
  export JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=$server
  jackd -S -n "$server" -d dummy -r 48000 -p 256 >>"$work/jackd.txt" 2>&1 &
  jackd_pid=$!
  pids+=($jackd_pid)
  if [ "${2:-}" = quiet ]; then
    wait_for test -S "/dev/shm/jack_${server}_0_0" || fail "jackd did not start"
  else
    wait_for jack_lsp || fail "jackd did not start"
  fi
  start_recorder "$1"
}

# Starts the recorder writing to $work/$1 and waits for its "# ready" (port up, client active),
# without a client of the script's own; a recorder that ends before it (the server not yet
# listening) is started again.
start_recorder() {
  local try
  for try in $(seq 5); do
    "$HALVORINE_JACK_RECORDER" >"$work/$1" 2>&1 &
    dump_pid=$!
    pids+=($dump_pid)
    wait_long 10 recorder_settled "$1" || true
    grep -qx '# ready' "$work/$1" && return 0
    end_processes "$dump_pid"   # ended, or hung in the JACK library before it was ready
  done
  fail "the recorder did not start: $(head -c 300 "$work/$1")"
}
recorder_settled() { grep -qx '# ready' "$work/$1" || ! kill -0 "$dump_pid"; }

# A JACK client "instrument" that plays what play() writes, one message a line ("b0 10 40"), from
# its port instrument:out; $1 is tests/support's jack_midi_send.
start_instrument() {
  mkfifo "$work/play"
  "$1" instrument <"$work/play" >"$work/instrument.txt" 2>&1 &
  pids+=($!)
  exec 4>"$work/play"
  wait_for sh -c 'jack_lsp | grep -q "^instrument:out$"' || fail "the instrument has no port"
}
play() { printf '%s\n' "$@" >&4; }

# True once the program's output is connected to the dump's input.
program_connected() { jack_lsp -c | grep -A1 '^Halvorine:out$' | grep -q 'midi-monitor:input'; }

stop_jack() { end_processes $dump_pid $jackd_pid; }

# Starts the program (with its arguments) and finds its window; X and Y are then the client
# area's place.
start_program() {
  unset QT_QPA_PLATFORM
  "$@" >"$work/program.txt" 2>&1 &
  program_pid=$!
  pids+=($program_pid)
  wait_for xdotool search --name "^Halvorine v0.2$" || fail "the window did not appear"
  window=$(xdotool search --name "^Halvorine v0.2$" | head -n 1)
  eval "$(xdotool getwindowgeometry --shell "$window")"
  sleep 0.5
}

# Pointer moves, clicks and vertical drags at points of the client area.
at() { xdotool mousemove --sync $((X + $1)) $((Y + $2)); }
click() { at "$1" "$2"; xdotool click 1; sleep 0.2; }
drag() {
  at "$1" "$2"; xdotool mousedown 1; sleep 0.1
  at "$1" $(($2 + $3)); sleep 0.1
  xdotool mouseup 1; sleep 0.2
}

# The controls the scripts use, at their centres.
pick_first_device() { click 352 82; xdotool key Home Return; sleep 0.2; }
press_open() { click 300 116; }
press_close() { click 409 116; }
press_start() { click 277 348; }
press_stop() { click 365 348; }
drag_par_knob1() { drag 35 83 "$1"; }
tick_box2() { click 16 128; }
drag_mix_knob() { drag 395 219 "$1"; }

# The messages a dump recorded ("52992: b0 10 09"), one per line, in hex, without their frames.
dumped() {
  awk '/^ *[0-9]+: / { m = ""; for (i = 2; i <= NF && $i ~ /^[0-9a-f][0-9a-f]$/; i++)
                         m = m (m == "" ? "" : " ") $i; print m }' "$work/$1" | tr '\n' '|'
}

# Waits (up to ten seconds, however busy the machine) until the dump holds exactly the messages
# given; what comes later is seen by the next expectation, which names all before it too.
expect_dumped() {
  local i got
  for i in $(seq 200); do
    got=$(dumped "$1")
    [ "$got" = "$2" ] && return 0
    sleep 0.05
  done
  fail "$1: got '$got', want '$2'"
}
