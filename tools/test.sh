#!/usr/bin/env bash
# A short run of every fuzzer, then builds everything and runs every test (unit and
# end-to-end) through CTest, then the same tests under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer.
# The Node.js package's own tests (clients/node, Node's test runner) run after the
# default preset.
# Usage: tools/test.sh            everything, as CI runs it
#        tools/test.sh PRESET     one preset only (default, debug, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

run_preset() {
  echo "== tests: $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  ctest --preset "$1" --timeout 600
}

run_node_client() {
  echo "== tests: clients/node"
  (cd clients/node && npm ci --prefer-offline && npm test)
}

if [ $# -gt 0 ]; then
  run_preset "$1"
  if [ "$1" = default ]; then run_node_client; fi
  exit 0
fi
echo "== fuzzing"
tools/fuzz.sh 30
for preset in default asan tsan; do
  run_preset "$preset"
  if [ "$preset" = default ]; then run_node_client; fi
done
