#!/usr/bin/env bash
# What a user waits for: whole-process runs of `brindlewharf analyse` from a fresh start (the
# user cache folder cleared before every run) for 6 s, 60 s and 5 minutes of sound, each beside
# sox drawing a spectrogram picture of the same size in the same run (and ffmpeg when it is
# installed), then `resynth` of the minute with noise and losslessly, and the editor's open of a
# 5-minute song in a fresh process to its first rows (needs the bench build). Reports wall time, user +
# system CPU time (the fairer figure on a busy machine), peak memory and the load when measured.
# Needs sox and hyperfine (Debian packages); python3 reads hyperfine's results.
#
#   bench/compare-analyse.sh [build folder] [runs]      (defaults: build, 5)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
RUNS="${2:-5}"
PROGRAM="$BUILD/brindlewharf"
for tool in sox hyperfine python3; do
  command -v "$tool" >/dev/null || { echo "compare-analyse: $tool is missing (apt-get install $tool)" >&2; exit 1; }
done
[ -x "$PROGRAM" ] || { echo "compare-analyse: $PROGRAM not built (./dev build)" >&2; exit 1; }

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
export XDG_DATA_HOME="$TMP/data" XDG_CACHE_HOME="$TMP/cache"
CLEAR="rm -rf $XDG_CACHE_HOME/brindlewharf"

# The demo (6 s of notes, a glide and speech), and the same repeated to a minute and to five.
cp "$ROOT/examples/demo.wav" "$TMP/6s.wav"
sox "$ROOT/examples/demo.wav" "$TMP/60s.wav" repeat 9
sox "$ROOT/examples/demo.wav" "$TMP/300s.wav" repeat 49

echo "load before: $(uptime)"
RESULTS=()

# hyperfine runs of the named commands, appended to RESULTS as json files.
time_jobs() {
  local json="$TMP/$1.json"
  shift
  hyperfine --style basic --warmup 1 --runs "$RUNS" --prepare "$CLEAR" --export-json "$json" "$@" >&2
  RESULTS+=("$json")
}

# Peak memory of one run of a command, in MB.
peak_mb() {
  /usr/bin/time -f "%M" -o "$TMP/peak" "$@" >/dev/null 2>&1
  echo $(( $(cat "$TMP/peak") / 1024 ))
}

declare -A PEAK
for len in 6s 60s 300s; do
  SOUND="$TMP/$len.wav"
  W=$(( ${len%s} * 100 ))
  jobs=(-n "analyse $len" "$PROGRAM analyse $SOUND -o $TMP/ours.png --quiet"
        -n "sox $len" "sox $SOUND -n spectrogram -x $W -y 571 -r -o $TMP/sox.png")
  if command -v ffmpeg >/dev/null; then
    jobs+=(-n "ffmpeg $len" "ffmpeg -v error -y -i $SOUND -lavfi showspectrumpic=s=${W}x571:legend=0 $TMP/ffmpeg.png")
  fi
  time_jobs "analyse-$len" "${jobs[@]}"
  PEAK["analyse $len"]=$(peak_mb "$PROGRAM" analyse "$SOUND" -o "$TMP/ours.png" --quiet)
done
time_jobs resynth \
  -n "resynth 60s noise" "$PROGRAM resynth $TMP/60s.wav -o $TMP/noise.wav --seed 1 --quiet" \
  -n "resynth 60s lossless" "$PROGRAM resynth $TMP/60s.wav -o $TMP/lossless.wav --lossless --quiet"
PEAK["resynth 60s noise"]=$(peak_mb "$PROGRAM" resynth "$TMP/60s.wav" -o "$TMP/noise.wav" --seed 1 --quiet)
PEAK["resynth 60s lossless"]=$(peak_mb "$PROGRAM" resynth "$TMP/60s.wav" -o "$TMP/lossless.wav" --lossless --quiet)

# The editor's wait for the first rows of a freshly opened 5-minute song, from a fresh process:
# from the start of the open (the file's reading included) to the first picture for the view
# (the coarse rows), the part of it spent reading the file, and to the first analysed row, with
# the process's CPU time to the first rows and to the end of the reading.
BENCH="$BUILD/bench/brindlewharf_bench"
FIRST=""
if [ -x "$BENCH" ]; then
  for _ in $(seq "$RUNS"); do
    FIRST+="$("$BENCH" --benchmark_filter=open_first_rows_cold --benchmark_format=json 2>/dev/null |
      python3 -c 'import json, sys; b = json.load(sys.stdin)["benchmarks"][0]; print("%.0f/%.0f/%.0f/%.0f/%.0f" % (b["shown_ms"], b["read_ms"], b["first_row_ms"], b["shown_cpu_ms"], b["read_cpu_ms"]))') "
  done
fi

echo "load after: $(uptime)"
if [ -n "$FIRST" ]; then
  echo "open of a 5-minute song in a fresh process, ms per run (first rows shown / of which reading the file / first analysed row / CPU time to the first rows / of which reading): $FIRST"
fi
PEAKS=""
for job in "${!PEAK[@]}"; do PEAKS+="$job=${PEAK[$job]};"; done
python3 - "$PEAKS" "${RESULTS[@]}" <<'EOF'
import json, sys
peaks = dict(p.split("=") for p in sys.argv[1].split(";") if p)
print("\n| Job | wall mean (min - max) | user + sys CPU | peak memory | beside sox |")
print("|---|---|---|---|---|")
for path in sys.argv[2:]:
    runs = json.load(open(path))["results"]
    sox = next((r for r in runs if r["command"].startswith("sox")), None)
    for r in runs:
        cpu = r["user"] + r["system"]
        line = f"| {r['command']} | {r['mean']:.3f} s ({r['min']:.3f} - {r['max']:.3f}) | {cpu:.3f} s | "
        line += f"{peaks[r['command']]} MB | " if r["command"] in peaks else "- | "
        if sox and r is not sox and r["command"].startswith("analyse"):
            line += f"{sox['mean'] / r['mean']:.1f} x faster (CPU {(sox['user'] + sox['system']) / cpu:.1f} x)"
        print(line + " |")
EOF
