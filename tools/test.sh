#!/usr/bin/env bash
# A short run of every fuzzer, the compile check of the macOS sources, then builds
# everything and runs every test (unit and end-to-end) through CTest, then the same
# tests under AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer.
# The Node.js package's own tests (clients/node, Node's test runner) run after the
# default preset, on the system's Node.js and on the current LTS release from npm.
# On a Mac there is nothing to install from Debian and no libFuzzer in Apple's clang:
# it builds and runs the tests, whose end-to-end part then drives the real devices.
# Usage: tools/test.sh            everything, as CI runs it
#        tools/test.sh PRESET     one preset only (default, debug, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
on_mac=false
[ "$(uname -s)" = Darwin ] && on_mac=true

$on_mac || tools/install-deps.sh

run_preset() {
  echo "== tests: $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  # The macOS compile check runs once, below, not under every preset.
  ctest --preset "$1" --timeout 600 -E '^macos_syntax_check$'
}

# The package's tests run twice: on the system's Node.js, then on the current long-term
# support release, installed for the run from the npm registry's `node` package (its
# build for this platform) into a folder of its own.
NODE_LTS=24

run_node_client() {
  echo "== tests: clients/node on Node.js $(node --version)"
  # Without the optional platform packages: a published one would be found before build/.
  (cd clients/node && npm ci --prefer-offline --omit=optional && npm test)
  (
    lts=$(mktemp -d)
    trap 'rm -rf "$lts"' EXIT
    npm install --prefix "$lts" --no-save --no-package-lock --no-audit --no-fund --prefer-offline "node@$NODE_LTS" >/dev/null
    export PATH="$lts/node_modules/node/bin:$PATH"
    version=$(node --version)
    # Never the system's Node.js again under the LTS release's name.
    case $version in v$NODE_LTS.*) ;; *) echo "node@$NODE_LTS gave Node.js $version" >&2; exit 1 ;; esac
    echo "== tests: clients/node on Node.js $version"
    cd clients/node && npm test
  )
}

if [ $# -gt 0 ]; then
  run_preset "$1"
  if [ "$1" = default ]; then run_node_client; fi
  exit 0
fi
if ! $on_mac; then
  echo "== fuzzing"
  tools/fuzz.sh 30
  # CI keeps a macOS SDK subset beside the repository (see its README).
  echo "== macOS compile check"
  sdk=../shared/macos-sdk/MacOSX14.2.sdk
  if [ -d "$sdk" ]; then
    tools/check-macos.sh "$sdk"
  else
    echo "macOS check skipped (no SDK at $sdk)"
  fi
fi
for preset in default asan tsan; do
  run_preset "$preset"
  if [ "$preset" = default ]; then run_node_client; fi
done
