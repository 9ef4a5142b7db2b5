#!/usr/bin/env bash
# Runs the whole test suite: the threaded suites under ThreadSanitizer, each fuzz target
# briefly, the Python module and its Dask example in the Release build, then every test under
# AddressSanitizer and UndefinedBehaviorSanitizer (Debug preset). Ends with ctest's summary of
# that last run. Dependencies come from scripts/install-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

# Threaded suites that also run under ThreadSanitizer (their ctest labels = executable names);
# app_tests for the worker threads and the shared index cache of --batch.
tsan_suites=(bus_tests timers_tests uni_io_tests app_tests)

cmake --preset tsan >/dev/null
tsan_targets=()
# Read the target list whole: grep -q would close the pipe early and, under pipefail, the
# resulting SIGPIPE of cmake would drop suites at random.
known_targets=$(cmake --build --preset tsan --target help)
for suite in "${tsan_suites[@]}"; do
  if grep -q "^${suite}:" <<<"$known_targets"; then
    tsan_targets+=("$suite")
  fi
done
if ((${#tsan_targets[@]})); then
  echo "== ThreadSanitizer: ${tsan_targets[*]}"
  cmake --build --preset tsan --target "${tsan_targets[@]}"
  labels=$(IFS='|'; echo "${tsan_targets[*]}")
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan -L "^(${labels})\$"
fi

# Each fuzz target briefly on its corpus (clang, libFuzzer): scripts/fuzz.sh, about 5 minutes.
scripts/fuzz.sh "${KESTIL_FUZZ_SECONDS:-15}"

# The Python module and its distributed example load into the system's interpreter, which an
# instrumented module can't: they are tested in the Release build.
echo "== Release: the Python module and the Dask example"
cmake --preset release >/dev/null
release_targets=$(cmake --build --preset release --target help)
if grep -q '^kestil:' <<<"$release_targets"; then
  cmake --build --preset release --target kestil
  ctest --preset release -R '^Python\.'
else
  echo "(the Python module is not built: pybind11 or the Python headers are missing)"
fi

echo "== AddressSanitizer and UndefinedBehaviorSanitizer: the whole suite"
cmake --preset debug
cmake --build --preset debug
ctest --preset debug
