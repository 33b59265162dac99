#!/usr/bin/env bash
# The panel on a screen at twice the pixel density: started under Xvfb with QT_SCALE_FACTOR 1 and
# then 2, the window must be twice the size and the skinned controls exactly the scale-1 picture
# with every pixel made a 2 x 2 block (sharp, not smoothed).
#
# usage: hidpi_e2e.sh PATH/TO/halvorine PATH/TO/screen_probe
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
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
start_program "$1"
width1=$WIDTH height1=$HEIGHT
shoot 1
stop_program

export QT_SCALE_FACTOR=2
start_program "$1"
[ "$WIDTH" = $((2 * width1)) ] && [ "$HEIGHT" = $((2 * height1)) ] ||
  fail "at scale 2 the window is ${WIDTH}x$HEIGHT, at scale 1 ${width1}x$height1"
shoot 2
stop_program

for i in "${!regions[@]}"; do
  "$screen_probe" enlarged "$work/scale1-$i.png" "$work/scale2-$i.png" 2 ||
    fail "region ${regions[$i]} at scale 2 is not the scale-1 picture enlarged"
done
echo "hidpi e2e: the window doubles and every skin is enlarged by whole pixels"
