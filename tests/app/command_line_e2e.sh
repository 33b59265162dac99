#!/usr/bin/env bash
# The program as started from a shell: answers that need no display, bad arguments, displays
# that cannot be opened, where the log goes, and an unknown --device.
#   command_line_e2e.sh PROGRAM VERSION
set -euo pipefail
program=$1
version=$2
work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  umount "$work/ro" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Polls a command for up to ten seconds.
wait_for() {
  local i
  for i in $(seq 200); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.05
  done
  return 1
}

# A display number with no server behind it.
free=347
while [ -e "/tmp/.X11-unix/X$free" ] || [ -e "/tmp/.X$free-lock" ]; do free=$((free + 1)); done

# check RC STDOUT-PATTERN STDERR-PATTERN STDERR-LINES -- ENV... -- ARGS...
# Runs the program without any display but the one ENV names; a pattern of "-" wants nothing.
check() {
  local rc=$1 out_pattern=$2 err_pattern=$3 err_lines=$4
  shift 5
  local env=()
  while [ "$1" != "--" ]; do env+=("$1"); shift; done
  shift
  local got=0
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_SESSION_TYPE "${env[@]}" \
    "$program" "$@" >"$work/out.txt" 2>"$work/err.txt" </dev/null || got=$?
  local what="[${env[*]}] $*"
  [ "$got" = "$rc" ] || fail "$what: exit code $got, want $rc; stderr: $(cat "$work/err.txt")"
  if [ "$out_pattern" = "-" ]; then
    [ ! -s "$work/out.txt" ] || fail "$what: unexpected output: $(cat "$work/out.txt")"
  else
    grep -qE -- "$out_pattern" "$work/out.txt" || fail "$what: output lacks '$out_pattern'"
  fi
  if [ "$err_pattern" = "-" ]; then
    [ ! -s "$work/err.txt" ] || fail "$what: unexpected stderr: $(cat "$work/err.txt")"
  else
    grep -qE -- "$err_pattern" "$work/err.txt" || fail "$what: stderr lacks '$err_pattern': $(cat "$work/err.txt")"
    [ "$(wc -l <"$work/err.txt")" = "$err_lines" ] ||
      fail "$what: stderr has $(wc -l <"$work/err.txt") lines, want $err_lines: $(cat "$work/err.txt")"
  fi
}

# Answers and bad arguments: no display needed, no window.
check 0 "^Usage: halvorine \[options\] \[file\]" - 0 -- -- --help
check 0 "--log <medium>" - 0 -- -- -h
check 0 "^halvorine $version\$" - 0 -- -- --version
check 0 "^halvorine $version\$" - 0 -- -- -platform bogus --version
bad="^halvorine: .*\(see halvorine --help\)$"
check 2 - "$bad" 1 -- -- --bogus
check 2 - "'bogus'" 1 -- -- --bogus
check 2 - "--log: unknown medium 'disk'" 1 -- -- --log disk
check 2 - "'--log'" 1 -- -- --log
check 2 - "--log-dir" 1 -- -- --log-dir=
check 2 - "--device" 1 -- -- --device ""
check 2 - "--tempo: '301' is not a tempo from 20 to 300 BPM" 1 -- -- --tempo 301
check 2 - "more than one file" 1 -- -- a.json b.json
check 2 - "--log-dir: cannot make" 1 -- -- --log file --log-dir /proc/self/log
check 2 - "the file name is not valid UTF-8" 1 -- -- "$work/set-$(printf '\377').hvset"

# A log file that cannot be opened: said instead of where the log goes, exit code 1.
mkdir -p "$work/logs/folder/Debug.txt" "$work/logs/link"
ln -s /etc/hostname "$work/logs/link/Debug.txt"
check 1 - "cannot open the log file .*/Debug.txt: it is a folder" 1 -- -- \
  --log file --log-dir "$work/logs/folder"
check 1 - "cannot open the log file .*/Debug.txt: it is a symbolic link" 1 -- -- \
  --log file --log-dir "$work/logs/link"

# Displays that cannot be opened: one line, exit code 1, never an abort.
nodisplay="^halvorine: cannot open the display"
for form in ":$free.7" "localhost:$free" "unix:$free" ":$free"; do
  check 1 - "$nodisplay" 1 -- DISPLAY="$form" -- 
done
check 1 - "$nodisplay" 1 -- WAYLAND_DISPLAY=nothing-here --
check 1 - "$nodisplay" 1 -- WAYLAND_DISPLAY=nothing-here XDG_SESSION_TYPE=wayland --
check 1 - "$nodisplay.*bogus" 1 -- QT_QPA_PLATFORM=bogus --
check 1 - "$nodisplay" 1 -- QT_QPA_PLATFORM=xcb --
check 1 - "$nodisplay" 1 -- --
# A Wayland client library with no runtime folder speaks for itself; the user still sees one line.
check 1 - "$nodisplay" 1 -- -u XDG_RUNTIME_DIR --
check 1 - "$nodisplay" 1 -- -u XDG_RUNTIME_DIR WAYLAND_DISPLAY=nothing-here --
check 1 - "$nodisplay.*:$free" 1 -- -- -display ":$free"
check 1 - "$nodisplay" 1 -- QT_QPA_PLATFORM=offscreen -- -platform xcb -display ":$free.0"
check 1 - "$nodisplay.*bogus" 1 -- DISPLAY=":$free" -- --platform bogus

# start NAME FOLDER-OF-PROGRAM ARGS...: the program offscreen, in the background.
start() {
  local name=$1 bin=$2
  shift 2
  mkdir -p "$bin"
  cp "$program" "$bin/halvorine"
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen XDG_STATE_HOME="$work/state" \
    "$bin/halvorine" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null &
  pids+=($!)
}

# expect_log NAME FOLDER: the program said where the log goes, and its banner is there.
expect_log() {
  local name=$1 folder=$2
  wait_for grep -q "Start of debug session" "$folder/Debug.txt" ||
    fail "$name: no log in $folder; stderr: $(cat "$work/$name.err")"
  wait_for grep -qx "halvorine: the log goes to $folder/Debug.txt" "$work/$name.err" ||
    fail "$name: stderr does not say where the log goes: $(cat "$work/$name.err")"
}

start beside "$work/build/app" --log file
expect_log beside "$work/build/app"
start given "$work/bin2" --log file --log-dir "$work/logs/new"
expect_log given "$work/logs/new"
# An installed program (in an install prefix's bin/) never logs beside itself, root or not.
start installed "$work/prefix/bin" --log file
expect_log installed "$work/state/halvorine"
[ ! -e "$work/prefix/bin/Debug.txt" ] || fail "installed: a log beside the program"

# The serial port and the monitor say how they fared; a set that cannot be opened is said too.
start serial "$work/b1" --log serial
wait_for grep -qE "^halvorine: (the log goes to|cannot open) the serial port COM1 \(/dev/ttyS0\)" \
  "$work/serial.err" || fail "--log serial: $(cat "$work/serial.err")"
DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" start monitor "$work/b2" --log monitor
wait_for grep -q "start halvorine-debug-monitor first" "$work/monitor.err" ||
  fail "--log monitor: $(cat "$work/monitor.err")"
start badset "$work/b3" "$work/no-such-set.hvset"
wait_for grep -qx "halvorine: Cannot open the sound set \"$work/no-such-set.hvset\": no such file." \
  "$work/badset.err" || fail "a bad FILE: $(cat "$work/badset.err")"

# A program in a folder it cannot write to (as /usr/bin is to a user, here a read-only mount,
# which holds for root too): the log goes to the user's state folder.
mkdir -p "$work/ro"
cp "$program" "$work/ro/halvorine"
if mount --bind "$work/ro" "$work/ro" 2>/dev/null &&
  mount -o remount,ro,bind "$work/ro" 2>/dev/null; then
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen XDG_STATE_HOME="$work/state" \
    "$work/ro/halvorine" --log file >"$work/ro.out" 2>"$work/ro.err" </dev/null &
  pids+=($!)
  expect_log ro "$work/state/halvorine"
else
  echo "SKIP: no read-only mount here; the unit tests choose the folder for this case"
fi

start device "$work/bin3" --device "no such device"
wait_for grep -qx "halvorine: --device: no MIDI output device named 'no such device'" \
  "$work/device.err" || fail "--device: no report: $(cat "$work/device.err")"
kill -0 "${pids[-1]}" 2>/dev/null || fail "--device: the program did not go on"

[ "$failures" = 0 ] || exit 1
echo "PASS"
