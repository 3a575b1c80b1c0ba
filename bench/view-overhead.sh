#!/usr/bin/env bash
# What `analyse --view` adds to `analyse`: whole-process runs from a fresh start (the user cache
# folder cleared before every run) of the demo repeated to a minute, written as the raw grey PNG
# and as the readable picture at its default size (4096 x 571 plot for 6000 columns). Reports
# wall time and user + system CPU time of each and what --view adds (at most 20 % is the aim).
# Needs sox and hyperfine (Debian packages); python3 reads hyperfine's results.
#
#   bench/view-overhead.sh [build folder] [runs]      (defaults: build, 5)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
RUNS="${2:-5}"
PROGRAM="$BUILD/brindlewharf"
for tool in sox hyperfine python3; do
  command -v "$tool" >/dev/null || { echo "view-overhead: $tool is missing (apt-get install $tool)" >&2; exit 1; }
done
[ -x "$PROGRAM" ] || { echo "view-overhead: $PROGRAM not built (./dev build)" >&2; exit 1; }

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
export XDG_DATA_HOME="$TMP/data" XDG_CACHE_HOME="$TMP/cache"
sox "$ROOT/examples/demo.wav" "$TMP/60s.wav" repeat 9

echo "load before: $(uptime)"
hyperfine --style basic --warmup 1 --runs "$RUNS" --prepare "rm -rf $XDG_CACHE_HOME/brindlewharf" \
  --export-json "$TMP/times.json" \
  -n "analyse 60s" "$PROGRAM analyse $TMP/60s.wav -o $TMP/raw.png --quiet" \
  -n "analyse 60s --view" "$PROGRAM analyse $TMP/60s.wav -o $TMP/view.png --view --quiet" >&2
echo "load after: $(uptime)"
python3 - "$TMP/times.json" <<'PY'
import json, sys
raw, view = json.load(open(sys.argv[1]))["results"]
cpu = lambda r: r["user"] + r["system"]
print("| Job | wall mean (min - max) | user + sys CPU |")
print("|---|---|---|")
for r in (raw, view):
    print(f"| {r['command']} | {r['mean']:.3f} s ({r['min']:.3f} - {r['max']:.3f}) | {cpu(r):.3f} s |")
print(f"\n--view adds {100 * (view['mean'] / raw['mean'] - 1):+.1f} % wall time "
      f"(fastest runs {100 * (view['min'] / raw['min'] - 1):+.1f} %), {100 * (cpu(view) / cpu(raw) - 1):+.1f} % CPU time")
PY
