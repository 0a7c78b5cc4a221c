#!/usr/bin/env bash
# Soak test of the audio tap against a private sound server. Usage: tools/soak.sh [MINUTES]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
exec /usr/bin/python3 tools/soak.py "${1:-1}" build
