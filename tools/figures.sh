#!/usr/bin/env bash
# Builds in release mode and prints every performance figure in one table.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF >/dev/null
cmake --build build-release >/dev/null
exec /usr/bin/python3 tools/figures.py build-release
