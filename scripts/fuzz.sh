#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (preset "fuzz": clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each one briefly on its corpus.
#
# Usage: scripts/fuzz.sh [seconds per target, default 20] [target names, default all]
# Environment: FUZZ_JOBS   targets run at the same time (default 2; each fuzzer uses one core)
#
# Fails when any target finds a crash, a leak, undefined behaviour or a broken check, or runs
# out of time or memory on one input; the input that did it is kept as
# build/fuzz/run/<target>/crash-* (or leak-*, timeout-*, oom-*) and the log's end is shown.
# The corpora under fuzz/corpus/ are only read: new inputs go to build/fuzz/run/<target>/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
jobs=${FUZZ_JOBS:-2}

if (($#)); then
  targets=("$@")
else
  # The target list of fuzz/targets.cmake, one name per line inside set(KESTIL_FUZZ_TARGETS ...).
  mapfile -t targets < <(sed -n '/^set(KESTIL_FUZZ_TARGETS/,/)/p' fuzz/targets.cmake |
    sed -e 's/set(KESTIL_FUZZ_TARGETS//' -e 's/)//' | tr -s ' \t' '\n' | sed '/^$/d')
fi

echo "== Fuzzing: build (preset fuzz)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"

# Runs one target; its whole output goes to build/fuzz/run/<target>/log.
run_target() {
  local name=$1 work=build/fuzz/run/$1
  mkdir -p "$work/corpus"
  rm -f "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*
  "build/fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "fuzz/corpus/$name" \
    >"$work/log" 2>&1
}

# One summary line per target: libFuzzer's last status line and its execution count.
summary() {
  local log=build/fuzz/run/$1/log
  local last runs
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | sed -E 's/ +/ /g' | cut -c1-100 || true)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  printf '%-18s %s executions; %s\n' "$1" "${runs:-?}" "${last:-no status line}"
}

echo "== Fuzzing: ${#targets[@]} targets, ${seconds} s each, ${jobs} at a time"
for name in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= jobs)); do wait -n || true; done
  mkdir -p "build/fuzz/run/$name"
  rm -f "build/fuzz/run/$name/status"
  (if run_target "$name"; then echo 0; else echo $?; fi >"build/fuzz/run/$name/status") &
done
wait

failed=()
for name in "${targets[@]}"; do
  summary "$name"
  [[ $(cat "build/fuzz/run/$name/status" 2>/dev/null) == 0 ]] || failed+=("$name")
done
if ((${#failed[@]})); then
  for name in "${failed[@]}"; do
    echo "== Fuzz target $name failed; end of build/fuzz/run/$name/log:"
    tail -n 60 "build/fuzz/run/$name/log"
  done
  exit 1
fi
echo "== Fuzzing: all targets clean"
