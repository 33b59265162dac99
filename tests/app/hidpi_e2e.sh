#!/usr/bin/env bash
# The panel on a screen at twice the pixel density: started under Xvfb with QT_SCALE_FACTOR 1 and
# then 2, the window must be twice the size and the skinned controls exactly the scale-1 picture
# with every pixel made a 2 x 2 block (sharp, not smoothed).
#
# Then on small screens under a window manager: the window's frame, title bar and close button
# included, lies wholly on the screen (at scale 1 where it always stood); where the panel is larger
# than the screen, it scrolls, and a knob below the window's first view is scrolled up with the
# wheel and turned with the pointer.
#
# usage: hidpi_e2e.sh PATH/TO/halvorine PATH/TO/screen_probe
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
program=$1
screen_probe=$2

# Client rectangles (x y width height, at scale 1) of the skinned controls: the sound selector,
# and knobs showing the first, middle and last frames of the strip.
regions=("8 8 192 29" "24 72 22 22" "176 408 22 22" "360 248 70 22" "472 224 54 22")

# Grabs every region of the window shown at scale $1.
shoot() {
  local scale=$1 i=0 r
  for r in "${regions[@]}"; do
    set -- $r
    env -u QT_SCALE_FACTOR -u QT_QPA_PLATFORM "$screen_probe" grab \
      $((X + $1 * scale)) $((Y + $2 * scale)) $(($3 * scale)) $(($4 * scale)) \
      "$work/scale$scale-$i.png" || fail "no picture at scale $scale"
    i=$((i + 1))
  done
}

stop_program() {
  end_processes "$program_pid"
}

start_display 2048x1536x24

export QT_SCALE_FACTOR=1
start_program "$program"
width1=$WIDTH height1=$HEIGHT
shoot 1
stop_program

export QT_SCALE_FACTOR=2
start_program "$program"
[ "$WIDTH" = $((2 * width1)) ] && [ "$HEIGHT" = $((2 * height1)) ] ||
  fail "at scale 2 the window is ${WIDTH}x$HEIGHT, at scale 1 ${width1}x$height1"
shoot 2
# Par24's caption, tick and knob (the caption tells them from the other parameters').
env -u QT_SCALE_FACTOR -u QT_QPA_PLATFORM "$screen_probe" grab $((X + 320)) $((Y + 784)) 76 76 \
  "$work/par24.png" || fail "no picture of Par24"
stop_program

for i in "${!regions[@]}"; do
  "$screen_probe" enlarged "$work/scale1-$i.png" "$work/scale2-$i.png" 2 ||
    fail "region ${regions[$i]} at scale 2 is not the scale-1 picture enlarged"
done

# The client area (X Y WIDTH HEIGHT, read by xwininfo, which a frame does not mislead) and the
# frame's corner and size; true when the frame lies on a screen of $1 x $2.
frame_on_screen() {
  local info left right top bottom
  info=$(xwininfo -id "$window") || return 1
  X=$(awk '/Absolute upper-left X/ { print $4 }' <<<"$info")
  Y=$(awk '/Absolute upper-left Y/ { print $4 }' <<<"$info")
  WIDTH=$(awk '/^ *Width:/ { print $2 }' <<<"$info")
  HEIGHT=$(awk '/^ *Height:/ { print $2 }' <<<"$info")
  read -r left right top bottom \
    <<<"$(xprop -id "$window" _NET_FRAME_EXTENTS | sed -n 's/.*= //p' | tr -d ,)"
  [ -n "$bottom" ] || return 1
  frame_corner=$((X - left)),$((Y - top))
  frame="$frame_corner $((WIDTH + left + right))x$((HEIGHT + top + bottom))"
  ((X - left >= 0 && Y - top >= 0 && X + WIDTH + right <= $1 && Y + HEIGHT + bottom <= $2))
}

# Starts the program at scale $2 on a screen of $1 (WIDTHxHEIGHT) under a window manager and
# waits until its frame lies on the screen.
start_framed() {
  start_display "${1}x24"
  openbox --sm-disable >"$work/wm.txt" 2>&1 &
  pids+=($!)
  wait_for wmctrl -m || fail "the window manager did not start"
  QT_SCALE_FACTOR=$2 start_program "$program"
  frame=unknown
  wait_for frame_on_screen ${1/x/ } || fail "at $1, scale $2, the frame ($frame) is off the screen"
}

caption_is() { [ "$(xdotool getwindowname "$window")" = "$1" ]; }

# Where the window fits, it stands where it always did, the size it always was.
start_framed 1024x768 1
[ "$frame_corner ${WIDTH}x$HEIGHT" = "199,137 ${width1}x$height1" ] ||
  fail "at scale 1 the frame ($frame) is not at 199,137 around the ${width1}x$height1 panel"
stop_program

# The frame is on the screen, though the panel with a title bar is taller than it.
start_framed 800x600 1.25
stop_program

# Par24 (at 160,392, its knob at 176,408, 22 x 22) is below the first view until the panel is
# scrolled with the wheel on the scroll bar at the right-hand edge; then it is found whole within
# the window, and its knob turned.
start_framed 1024x768 2
find_par24() {
  env -u QT_SCALE_FACTOR -u QT_QPA_PLATFORM "$screen_probe" find "$X" "$Y" "$WIDTH" "$HEIGHT" \
    "$work/par24.png"
}
! find_par24 >/dev/null || fail "Par24 is in the first view: nothing to scroll"
xdotool mousemove --sync $((X + WIDTH - 6)) $((Y + HEIGHT / 3))
for i in $(seq 10); do xdotool click 5; done
wait_for find_par24 || fail "Par24 is not in the window after scrolling"
read -r par24_x par24_y < <(find_par24)
drag $((par24_x - X + 54)) $((par24_y - Y + 54)) -20
wait_for caption_is "Halvorine v0.2*" || fail "the scrolled knob did not turn: caption" \
  "'$(xdotool getwindowname "$window")'"
stop_program
echo "hidpi e2e: the window doubles and every skin is enlarged by whole pixels; the frame stays" \
  "on small screens, where the panel scrolls"
