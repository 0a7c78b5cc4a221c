#!/usr/bin/env bash
# Compiles every source that goes into the macOS executables against a macOS SDK, so
# the code that cannot run here still builds cleanly for its platform. The list of
# sources, the flags and each executable's deployment target come from CMake itself,
# configured for macOS (see tools/check_macos.py); every source is compiled for arm64
# and x86_64 at the deployment target of each executable it goes into.
# Usage: tools/check-macos.sh [SDK_PATH]   (without an SDK path it says "skipped")
#   VESK_CLANG        the clang++ to compile with (default: clang++)
#   VESK_JSON_INCLUDE a folder holding nlohmann/json.hpp (default: found in the usual places)
set -euo pipefail
cd "$(dirname "$0")/.."
sdk="${1:-}"
if [ -z "$sdk" ]; then
  echo "macOS check skipped (no SDK path given)"
  exit 0
fi
[ -d "$sdk" ] || { echo "no SDK at $sdk" >&2; exit 1; }
sdk="$(cd "$sdk" && pwd)"
clang="$(command -v "${VESK_CLANG:-clang++}")" || { echo "no clang++ to compile with" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# nlohmann_json is not in the SDK. The sources see it through a folder that holds only
# a link to it (never a whole system include folder, whose C headers would shadow the
# SDK's), offered to CMake as the package.
json_include="${VESK_JSON_INCLUDE:-}"
if [ -z "$json_include" ]; then
  for candidate in /usr/include /usr/local/include /opt/homebrew/include; do
    if [ -f "$candidate/nlohmann/json.hpp" ]; then json_include="$candidate"; break; fi
  done
fi
[ -f "$json_include/nlohmann/json.hpp" ] || { echo "nlohmann/json.hpp not found (set VESK_JSON_INCLUDE)" >&2; exit 1; }
mkdir -p "$work/include" "$work/package"
ln -s "$json_include/nlohmann" "$work/include/nlohmann"
cat >"$work/package/nlohmann_jsonConfig.cmake" <<EOF
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "$work/include")
EOF
cat >"$work/package/nlohmann_jsonConfigVersion.cmake" <<'EOF'
set(PACKAGE_VERSION 3.11.2)
set(PACKAGE_VERSION_COMPATIBLE TRUE)
EOF

# Configure the project as a macOS build would be (release flags of the default preset,
# no tests or benchmarks, which need libraries the SDK lacks), and ask CMake's file API
# for its targets. Nothing is built or linked; signing and install-name tools are stubs.
build="$work/build"
mkdir -p "$build/.cmake/api/v1/query"
touch "$build/.cmake/api/v1/query/codemodel-v2"
stub="$(command -v true)"
if ! cmake -S . -B "$build" -G Ninja \
    -DCMAKE_SYSTEM_NAME=Darwin -DCMAKE_OSX_SYSROOT="$sdk" -DCMAKE_OSX_ARCHITECTURES=arm64 \
    -DCMAKE_CXX_COMPILER="$clang" -DCMAKE_OBJCXX_COMPILER="$clang" \
    -DCMAKE_CXX_COMPILER_TARGET=arm64-apple-macos -DCMAKE_OBJCXX_COMPILER_TARGET=arm64-apple-macos \
    -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY -DCMAKE_INSTALL_NAME_TOOL="$stub" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_BENCHMARKS=OFF \
    -DVESK_CODESIGN="$stub" -Dnlohmann_json_DIR="$work/package" >"$work/configure.log" 2>&1; then
  cat "$work/configure.log" >&2
  echo "macOS configuration failed" >&2
  exit 1
fi

exec python3 tools/check_macos.py --build "$build" --sdk "$sdk" --clang "$clang"
