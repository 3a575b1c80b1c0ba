#!/bin/sh
# Takes screenshots of the editor on the bundled demo at two window sizes, under Xvfb, into
# docs/screenshots/. Needs xvfb-run, xdotool and ImageMagick; run after a build (./dev build).
#   tools/screenshots.sh [PROGRAM]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/brindlewharf}
out="$root/docs/screenshots"
mkdir -p "$out"
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
    xdotool key --window "$id" ctrl+q
    wait $pid' sh "$program" "$root/examples/demo.wav" "$out/editor-$size.png"
  rm -rf "$data"
  echo "$out/editor-$size.png"
done
