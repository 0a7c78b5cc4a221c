#!/usr/bin/env bash
# Syntax-checks every macOS source against a macOS SDK, so the backends that cannot run
# here still compile cleanly for their platform.
# Usage: tools/check-macos.sh [SDK_PATH]   (without an SDK path it says "skipped")
set -euo pipefail
cd "$(dirname "$0")/.."
sdk="${1:-}"
if [ -z "$sdk" ]; then
  echo "macOS check skipped (no SDK path given)"
  exit 0
fi
[ -d "$sdk" ] || { echo "no SDK at $sdk" >&2; exit 1; }

# Headers of Linux packages the sources use (nlohmann_json) sit beside the SDK, in a
# folder that holds only them.
extra="$(dirname "$sdk")/extra-include"
flags=(-target arm64-apple-macos14.2 -isysroot "$sdk" -stdlib=libc++ -std=c++20 -fsyntax-only
       -fobjc-arc -fblocks -Wall -Wextra -Werror -I. -isystem "$extra")

# Tests of the platform-neutral parts run on every platform; they need GoogleTest,
# which the SDK does not have.
mapfile -t sources < <(git ls-files -co --exclude-standard -- '*/macos/*.mm' '*/macos/*.cpp' |
                       grep -v '_test\.cpp$' | sort)
failed=0
for source in "${sources[@]}"; do
  language=c++
  [[ "$source" == *.mm ]] && language=objective-c++
  if clang++ -x "$language" "${flags[@]}" "$source"; then
    echo "ok      $source"
  else
    echo "FAILED  $source"
    failed=$((failed + 1))
  fi
done
echo "${#sources[@]} macOS sources checked, $failed with errors"
[ "$failed" -eq 0 ]
