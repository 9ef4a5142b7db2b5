#!/usr/bin/env bash
# Throughput of kestil_solver --batch beside one process per frame: see README.md.
#
#   bench/batch/run.sh --catalog FILE [--index-dir DIR] [--bin DIR] [--work DIR]
#                      [--frames N] [--jobs N]
#
# --catalog    star catalogue CSV (plain or gzip) the frames are rendered from; also the source
#              of the indexes when --index-dir is not given   (default: $KESTIL_CATALOG)
# --index-dir  installed indexes; without it they are built into WORK/indexes with
#              kestil_build_index --scale all (kept for later runs)  (default: $KESTIL_INDEX_DIR)
# --bin        the build directory with app/kestil_solver and the tools
#              (default: $KESTIL_BIN_DIR, else build/release of this repository)
# --work       where frames, lists and outputs go (default: build/batch_bench, kept)
# --frames     number of frames (default 200)      --jobs   batch workers (default 2)
#
# The frames are 3000 x 2000 pixels, 3.6"/px (3 x 2 degrees), at random places over the sky
# (seeded, the same on every run), FITS 16-bit; both runs solve them with the scale hint.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
catalog=${KESTIL_CATALOG:-}
index_dir=${KESTIL_INDEX_DIR:-}
bin=${KESTIL_BIN_DIR:-$root/build/release}
work=$root/build/batch_bench
frames=200
jobs=2
while [ $# -gt 0 ]; do
    case "$1" in
        --catalog) catalog=$2; shift 2 ;;
        --index-dir) index_dir=$2; shift 2 ;;
        --bin) bin=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --frames) frames=$2; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
        *) echo "run.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
    esac
done
[ -n "$catalog" ] && [ -r "$catalog" ] ||
    { echo "run.sh: give the star catalogue with --catalog or KESTIL_CATALOG" >&2; exit 2; }
for tool in app/kestil_solver tools/simulator/kestil_simulate tools/index_builder/kestil_build_index; do
    [ -x "$bin/$tool" ] || { echo "run.sh: $bin/$tool is missing: build it (Release) or give --bin" >&2; exit 2; }
done
mkdir -p "$work/frames"
solver=$bin/app/kestil_solver
scale_deg=0.001  # 3.6"/px

if [ -z "$index_dir" ]; then
    index_dir=$work/indexes
    if [ ! -d "$index_dir" ]; then
        echo "building the indexes into $index_dir"
        "$bin/tools/index_builder/kestil_build_index" --quiet --catalog "$catalog" --scale all \
            --dir "$index_dir.tmp" > "$work/index_build.txt"
        mv "$index_dir.tmp" "$index_dir"
    fi
fi

# Frame centres, uniform over the sphere, and rotations; made once per work folder.
list=$work/frames.txt
if [ ! -s "$list" ]; then
    echo "rendering $frames frames into $work/frames"
    awk -v n="$frames" 'BEGIN {
        srand(2026)
        for (i = 0; i < n; ++i) {
            z = 2 * rand() - 1
            printf "%03d %.5f %.5f %.1f\n", i, 360 * rand(), atan2(z, sqrt(1 - z * z)) * 57.29577951, 360 * rand()
        }
    }' > "$work/centres.txt"
    : > "$list.tmp"
    while read -r number ra dec angle; do
        frame=$work/frames/frame_$number.fits
        "$bin/tools/simulator/kestil_simulate" --catalog "$catalog" --ra "$ra" --dec "$dec" \
            --scale 3.6 --angle "$angle" --width 3000 --height 2000 --fwhm 3 --seed "$((10#$number + 1))" \
            --no-truth --format fits16 --output "$frame" > /dev/null 2>> "$work/simulate.log"
        echo "$frame" >> "$list.tmp"
    done < "$work/centres.txt"
    mv "$list.tmp" "$list"
fi

now() { date +%s.%N; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

# The index pages and the frames in the page cache for both runs alike.
cat "$index_dir"/* > /dev/null
"$solver" -i "$index_dir" -s "$scale_deg" -f json "$(head -n 1 "$list")" > /dev/null || true

echo "one process per frame, $(wc -l < "$list") frames (load before: $(load))"
start=$(now)
while read -r frame; do
    "$solver" -i "$index_dir" -s "$scale_deg" -f json "$frame" 2> /dev/null || true
done < "$list" > "$work/single.json"
single_s=$(echo "$(now) - $start" | bc)
single_load=$(load)

echo "--batch -j $jobs (load before: $(load))"
start=$(now)
"$solver" --batch -j "$jobs" -i "$index_dir" -s "$scale_deg" -f json "@$list" \
    > "$work/batch.jsonl" 2> /dev/null || true
batch_s=$(echo "$(now) - $start" | bc)
batch_load=$(load)

single_solved=$(jq -s 'map(select(.solved)) | length' "$work/single.json")
batch_solved=$(jq -s 'map(select(.solved)) | length' "$work/batch.jsonl")
batch_lines=$(wc -l < "$work/batch.jsonl")
count=$(wc -l < "$list")
printf 'frames                %d\n' "$count"
printf 'one process per frame %.1f s, %d solved, %.2f frames/s (load after: %s)\n' \
    "$single_s" "$single_solved" "$(echo "$count / $single_s" | bc -l)" "$single_load"
printf 'batch -j %d            %.1f s, %d solved, %d lines, %.2f frames/s (load after: %s)\n' \
    "$jobs" "$batch_s" "$batch_solved" "$batch_lines" "$(echo "$count / $batch_s" | bc -l)" "$batch_load"
printf 'throughput ratio      %.2f (goal: at least 1.8)\n' "$(echo "$single_s / $batch_s" | bc -l)"
echo "outputs in $work"
