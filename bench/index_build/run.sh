#!/usr/bin/env bash
# Builds the seven published indexes from the project's all-sky catalogue and reports the wall
# time and the peak resident memory of the build (/usr/bin/time -v: apt-get install time).
#
#   bench/index_build/run.sh [OUT_DIR [REFERENCE_DIR]]
#
# OUT_DIR        where the indexes go (default build/index_build); its .zeph files are removed
#                first, so every scale is built.
# REFERENCE_DIR  indexes built the same way by another version of the builder: each new file
#                is compared with it byte for byte (cmp).
# Environment:
# BUILDER        the program (default build/release/tools/index_builder/kestil_build_index)
# CATALOG        the catalogue (default ../shared/data/catalogs/stars-merged.csv.gz beside the checkout)
# PER_SCALE=1    one process per scale, as builders before "--scale all" had to be run: the wall
#                times add up and the peak is the largest of the seven
# THREADS        passed as --threads (default: the builder's own, one per processor)
set -euo pipefail
cd "$(dirname "$0")/../.."

out=${1:-build/index_build}
reference=${2:-}
builder=${BUILDER:-build/release/tools/index_builder/kestil_build_index}
catalog=${CATALOG:-../shared/data/catalogs/stars-merged.csv.gz}
scales="0.2 0.5 1 2 5 10 20"
[ -x /usr/bin/time ] || { echo "run.sh: /usr/bin/time is missing (apt-get install time)" >&2; exit 2; }
[ -x "$builder" ] || { echo "run.sh: no builder at $builder (build kestil_build_index first)" >&2; exit 2; }
mkdir -p "$out"
rm -f "$out"/*.zeph
threads=()
[ -n "${THREADS:-}" ] && threads=(--threads "$THREADS")

# Runs the builder under /usr/bin/time; prints its lines and adds to wall, CPU time and peak.
wall=0
cpu=0
peak_kb=0
measure() {
  local times
  times=$(mktemp)
  /usr/bin/time -v -o "$times" "$builder" --quiet --catalog "$catalog" --dir "$out" "${threads[@]}" "$@"
  local w
  w=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); s = 0;
                  for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s}' "$times")
  local kb
  kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$times")
  local c
  c=$(awk -F': ' '/(User|System) time \(seconds\)/ {s += $2} END {print s}' "$times")
  wall=$(awk -v a="$wall" -v b="$w" 'BEGIN {print a + b}')
  cpu=$(awk -v a="$cpu" -v b="$c" 'BEGIN {print a + b}')
  [ "$kb" -gt "$peak_kb" ] && peak_kb=$kb
  rm -f "$times"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "${PER_SCALE:-0}" = 1 ]; then
  for s in $scales; do measure --scale "$s"; done
else
  measure --scale all
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'all seven scales: %.1f s wall, %.1f s CPU (user and system), peak %d MiB (%d kB)\n' \
  "$wall" "$cpu" $((peak_kb / 1024)) "$peak_kb"

if [ -n "$reference" ]; then
  status=0
  for f in "$out"/*.zeph; do
    if cmp -s "$f" "$reference/$(basename "$f")"; then echo "same as the reference: $(basename "$f")"
    else echo "DIFFERS from the reference: $(basename "$f")"; status=1; fi
  done
  exit $status
fi
