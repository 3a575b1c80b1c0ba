#!/usr/bin/env bash
# A batch over many files against as many separate runs: 100 sounds of 10 s each analysed one
# after the other by 100 runs of `brindlewharf analyse`, then by one run over all of them with
# --jobs 2. Reports the wall and user + system CPU times of each and their ratio (the batch
# should take at most 60 % of the separate runs' time on 2 cores). Needs sox.
#
#   bench/many-files.sh [build folder] [files] [jobs]      (defaults: build, 100, 2)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
FILES="${2:-100}"
JOBS="${3:-2}"
PROGRAM="$BUILD/brindlewharf"
command -v sox >/dev/null || { echo "many-files: sox is missing (apt-get install sox)" >&2; exit 1; }
[ -x "$PROGRAM" ] || { echo "many-files: $PROGRAM not built (./dev build)" >&2; exit 1; }

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
export XDG_DATA_HOME="$TMP/data" XDG_CACHE_HOME="$TMP/cache"
mkdir -p "$TMP/in" "$TMP/one" "$TMP/batch"
# The demo (6 s) repeated and cut to 10 s, copied FILES times.
sox "$ROOT/examples/demo.wav" "$TMP/in/0.wav" repeat 1 trim 0 10
for i in $(seq 1 $((FILES - 1))); do cp "$TMP/in/0.wav" "$TMP/in/$i.wav"; done

echo "load before: $(uptime)"
TIMEFORMAT="%R %U %S"
separate=$( { time for f in "$TMP"/in/*.wav; do
  "$PROGRAM" analyse "$f" -o "$TMP/one/$(basename "$f" .wav).png" --quiet >/dev/null
done; } 2>&1 )
batch=$( { time "$PROGRAM" analyse "$TMP"/in/*.wav -o "$TMP/batch/" --jobs "$JOBS" --quiet >/dev/null; } 2>&1 )
echo "load after: $(uptime)"

python3 - "$FILES" "$JOBS" $separate $batch <<'PY'
import sys
files, jobs = sys.argv[1], sys.argv[2]
sr, su, ss, br, bu, bs = map(float, sys.argv[3:9])
print(f"{files} separate runs:        wall {sr:7.2f} s   cpu {su + ss:7.2f} s")
print(f"one batch with --jobs {jobs}:   wall {br:7.2f} s   cpu {bu + bs:7.2f} s")
print(f"batch / separate wall time: {100 * br / sr:.0f} %")
PY
cmp -s "$TMP/one/0.png" "$TMP/batch/0.png" && echo "outputs: the batch writes the same pictures" \
  || { echo "many-files: the batch's picture differs from the separate run's" >&2; exit 1; }
