#!/usr/bin/env bash
# The main job, shown: builds the helpers and drives each one as the host
# application would, printing every line it exchanges with them.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
exec /usr/bin/python3 tools/demo.py
