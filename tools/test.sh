#!/usr/bin/env bash
# Builds everything and runs every test (unit and end-to-end) through CTest.
# Usage: tools/test.sh [preset]   (default, debug, asan or tsan; default: default)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

tools/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" --timeout 300
