#!/bin/sh
# Takes screenshots of the editor on the bundled demo at two window sizes, under Xvfb, into
# docs/screenshots/, and at the larger size one more with the Select tool chosen and a box selected
# in the middle of the view. Needs xvfb-run, xdotool and ImageMagick; run after a build (./dev build).
#   tools/screenshots.sh [PROGRAM]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/brindlewharf}
out="$root/docs/screenshots"
mkdir -p "$out"
selection="$out/editor-selection-1392x780.png" # taken at the first size only
for size in 1392x780 1024x600; do
  w=${size%x*}; h=${size#*x}
  data=$(mktemp -d)
  mkdir -p "$data/Brindlewharf"
  printf 'window_width = %s\nwindow_height = %s\n' "$w" "$h" > "$data/Brindlewharf/config.txt"
  XDG_DATA_HOME="$data" SDL_AUDIODRIVER=dummy xvfb-run -a -s "-screen 0 1600x1000x24" sh -c '
    "$1" "$2" >/dev/null 2>&1 & pid=$!
    i=0; id=""
    while [ $i -lt 80 ] && [ -z "$id" ]; do
      id=$(xdotool search --name "^Brindlewharf" 2>/dev/null | head -n1); sleep 0.25; i=$((i+1))
    done
    sleep 4
    import -window "$id" "$3"
    if [ -n "$4" ]; then
      # The Select tool (M) and a box dragged in steps over the view, between the waveform
      # strip (126 rows down) and the panel (the last 280 rows).
      eval "$(xdotool getwindowgeometry --shell "$id")"
      x0=$((WIDTH * 35 / 100)); x1=$((WIDTH * 60 / 100))
      y0=$((126 + (HEIGHT - 406) * 35 / 100)); y1=$((126 + (HEIGHT - 406) * 55 / 100))
      xdotool key --window "$id" m
      xdotool mousemove --window "$id" $x0 $y0; sleep 0.2
      xdotool mousedown 1; sleep 0.2
      for q in 1 2 3 4 5 6 7 8; do
        xdotool mousemove --window "$id" $((x0 + (x1 - x0) * q / 8)) $((y0 + (y1 - y0) * q / 8)); sleep 0.1
      done
      sleep 0.3; xdotool mouseup 1
      xdotool mousemove --window "$id" $((x1 + 40)) $((y1 + 30)); sleep 1
      import -window "$id" "$4"
    fi
    xdotool key --window "$id" ctrl+q
    wait $pid' sh "$program" "$root/examples/demo.wav" "$out/editor-$size.png" "$selection"
  rm -rf "$data"
  echo "$out/editor-$size.png"
  [ -n "$selection" ] && echo "$selection"
  selection=""
done
