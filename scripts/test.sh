#!/usr/bin/env bash
# Builds the Debug configuration (AddressSanitizer and UndefinedBehaviorSanitizer) and runs the
# whole test suite with ctest. Run from anywhere; dependencies come from scripts/install-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset debug
cmake --build --preset debug
ctest --preset debug
