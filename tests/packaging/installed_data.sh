#!/usr/bin/env bash
# What `cmake --install` puts in place: exactly the two programs, and a desktop entry, AppStream
# metadata, icons and manual pages that their validators accept.
#   installed_data.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/usr" >"$work/install.txt" || fail "install failed"
share=$work/usr/share

[ "$(ls "$work/usr/bin" | tr '\n' ' ')" = "halvorine halvorine-debug-monitor " ] ||
  fail "installed programs: $(ls "$work/usr/bin" | tr '\n' ' ')"

desktop-file-validate "$share"/applications/*.desktop || fail "desktop entry"
grep -qx "Categories=AudioVideo;Audio;Midi;" "$share"/applications/*.desktop ||
  fail "the desktop entry is not in the Audio and MIDI categories"
appstreamcli validate --no-net "$share"/metainfo/*.metainfo.xml || fail "AppStream metadata"

# Each page renders without a warning of groff's or man's, and says what the program does.
for page in halvorine halvorine-debug-monitor; do
  file=$share/man/man1/$page.1.gz
  [ -f "$file" ] || fail "no manual page for $page"
  warnings=$(zcat "$file" | groff -man -ww -z -Tutf8 2>&1)
  [ -z "$warnings" ] || fail "$page.1: $warnings"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page.1: $warnings"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" 2>/dev/null | grep -q "^NAME" || fail "$page.1 renders empty"
done

# The icon in every size the theme folder names, and as SVG.
icon=org.halvorine.Halvorine
for size in 16 22 32 48 64 128 256; do
  png=$share/icons/hicolor/${size}x${size}/apps/$icon.png
  file "$png" | grep -q "PNG image data, $size x $size," || fail "$png: $(file "$png")"
done
grep -q "<svg " "$share/icons/hicolor/scalable/apps/$icon.svg" || fail "no scalable icon"
grep -qx "Icon=$icon" "$share"/applications/*.desktop || fail "the desktop entry names another icon"
# Sound-set files: a type the MIME database takes, which the desktop entry opens.
[ -f "$share/mime/packages/halvorine.xml" ] || fail "no file type for sound sets"
update-mime-database "$share/mime" || fail "the MIME database refuses the sound-set type"
grep -q '^application/x-halvorine-sound-set:\*\.hvset$' "$share/mime/globs" ||
  fail "the sound-set type does not claim *.hvset"
grep -q '^application/x-halvorine-sound:\*\.hvsound$' "$share/mime/globs" ||
  fail "the sound type does not claim *.hvsound"
grep -qx "MimeType=application/x-halvorine-sound-set;" "$share"/applications/*.desktop ||
  fail "the desktop entry does not open sound sets"

# The installed program logs into the user's state folder, never beside itself, root or not; a
# termination signal ends it as closing the window does.
state=$work/state
XDG_STATE_HOME=$state QT_QPA_PLATFORM=offscreen "$work/usr/bin/halvorine" --log file \
  2>"$work/stderr.txt" &
pid=$!
# The log opens with the window, a moment before the program takes SIGTERM over from the default
# (that ends it at once, with 143); the signal goes once the kernel shows it caught.
catches_term() {
  local caught
  caught=$(awk '/^SigCgt:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) || return 1
  [ -s "$state/halvorine/Debug.txt" ] && [ -n "$caught" ] && (((16#$caught >> 14) & 1))
}
for _ in $(seq 600); do catches_term && break; sleep 0.1; done
catches_term || fail "the installed program never took SIGTERM over: $(cat "$work/stderr.txt")"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" = 0 ] || fail "the installed program ended with $status on SIGTERM: $(cat "$work/stderr.txt")"
grep -qx "halvorine: the log goes to $state/halvorine/Debug.txt" "$work/stderr.txt" ||
  fail "the installed program's log: $(cat "$work/stderr.txt")"
grep -q "Start of debug session" "$state/halvorine/Debug.txt" || fail "nothing in the log"
[ ! -e "$work/usr/bin/Debug.txt" ] || fail "the installed program wrote its log into bin/"
echo PASS
