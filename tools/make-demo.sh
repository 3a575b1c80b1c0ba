#!/usr/bin/env bash
# Makes examples/demo.wav, the bundled demo sound: a five-note melody with harmonics,
# a rising glide and a spoken "This is Brindlewharf", mono, 44100 Hz, 16-bit, about
# 6 seconds, normalised to -3 dB. Needs Debian's sox and espeak-ng.
#
#   tools/make-demo.sh [output.wav]      (default: examples/demo.wav)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${1:-$ROOT/examples/demo.wav}"
RATE=44100

command -v sox >/dev/null || { echo "make-demo: sox is missing (apt-get install sox)" >&2; exit 1; }
command -v espeak-ng >/dev/null || { echo "make-demo: espeak-ng is missing (apt-get install espeak-ng)" >&2; exit 1; }

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT

# Intermediate files are 32-bit float so that nothing clips or dithers before the end.
F=(-r "$RATE" -e floating-point -b 32)

mul() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%g", a * b }'; }

# note <file> <fundamental Hz> <seconds>: fundamental plus three harmonics of falling
# strength, with a quick attack and a long decay.
note() {
  local file="$1" f="$2" len="$3"
  sox -R -r "$RATE" -c 4 -n "${F[@]}" -c 1 "$file" \
    synth "$len" sine "$f" sine "$(mul "$f" 2)" sine "$(mul "$f" 3)" sine "$(mul "$f" 4)" \
    remix 1v0.50,2v0.25,3v0.14,4v0.08 \
    fade q 0.015 "$len" "$(mul "$len" 0.6)"
}

# Melody: A3 C#4 E4 A4 E4 (the last one held longer).
note "$TMP/n1.wav" 220.00 0.42
note "$TMP/n2.wav" 277.18 0.42
note "$TMP/n3.wav" 329.63 0.42
note "$TMP/n4.wav" 440.00 0.42
note "$TMP/n5.wav" 329.63 0.70

# Glide: an exponential sine sweep from 150 Hz to 4 kHz with soft ends.
sox -R -n "${F[@]}" -c 1 "$TMP/glide.wav" synth 1.4 sine 150/4000 vol 0.5 fade h 0.05 1.4 0.15

# Spoken phrase, brought to the common rate and format.
espeak-ng -s 150 -w "$TMP/speech_raw.wav" "This is Brindlewharf"
sox -R "$TMP/speech_raw.wav" "${F[@]}" -c 1 "$TMP/speech.wav" rate -v "$RATE"

# Short rests between the parts, and silence enough at the end to fill 6 seconds.
sox -R -n "${F[@]}" -c 1 "$TMP/rest.wav" trim 0 0.20
sox -R -n "${F[@]}" -c 1 "$TMP/tail.wav" trim 0 1.00

sox -R "$TMP/n1.wav" "$TMP/n2.wav" "$TMP/n3.wav" "$TMP/n4.wav" "$TMP/n5.wav" \
  "$TMP/rest.wav" "$TMP/glide.wav" "$TMP/rest.wav" "$TMP/speech.wav" "$TMP/tail.wav" \
  "${F[@]}" -c 1 "$TMP/all.wav"

# Final file: the first 6 seconds, normalised to -3 dB, 16-bit without dither.
mkdir -p "$(dirname "$OUT")"
sox -R -D "$TMP/all.wav" -r "$RATE" -e signed-integer -b 16 -c 1 "$OUT" trim 0 6 norm -3

echo "make-demo: wrote $OUT"
sox --i "$OUT"
