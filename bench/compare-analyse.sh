#!/usr/bin/env bash
# Times `brindlewharf analyse` of a 60-second sound against two other command-line tools that
# draw a spectrogram picture of the same size (6000 x 571), side by side in one run, and reports
# the peak memory of our run. Needs sox, ffmpeg and hyperfine (Debian packages).
#
#   bench/compare-analyse.sh [build folder]      (default: build)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
PROGRAM="$BUILD/brindlewharf"
for tool in sox ffmpeg hyperfine; do
  command -v "$tool" >/dev/null || { echo "compare-analyse: $tool is missing (apt-get install $tool)" >&2; exit 1; }
done
[ -x "$PROGRAM" ] || { echo "compare-analyse: $PROGRAM not built (./dev build)" >&2; exit 1; }

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
export XDG_DATA_HOME="$TMP/data"

# One minute of the demo sound, repeated: notes, a glide and speech.
sox "$ROOT/examples/demo.wav" "$TMP/minute.wav" repeat 9
SOUND="$TMP/minute.wav"

hyperfine --warmup 1 --runs 5 --export-markdown "$TMP/result.md" \
  -n brindlewharf "$PROGRAM analyse $SOUND -o $TMP/ours.png --quiet" \
  -n sox "sox $SOUND -n spectrogram -x 6000 -y 571 -r -o $TMP/sox.png" \
  -n ffmpeg "ffmpeg -v error -y -i $SOUND -lavfi showspectrumpic=s=6000x571:legend=0 $TMP/ffmpeg.png"
cat "$TMP/result.md"

/usr/bin/time -f "peak memory of brindlewharf analyse: %M kB" \
  "$PROGRAM" analyse "$SOUND" -o "$TMP/ours.png" --quiet >/dev/null
