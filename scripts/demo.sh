#!/usr/bin/env bash
# Main job: builds the Release configuration and runs the program.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release
cmake --build --preset release
./build/release/app/kestil_solver --help
