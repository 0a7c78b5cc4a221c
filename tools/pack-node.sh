#!/usr/bin/env bash
# Packs the Node.js package (clients/node) and this build's platform package
# (vesk-helpers-<platform>-<arch>, from clients/node/platforms/) into npm tarballs.
# The helpers go into the platform package stripped; on macOS they are then signed
# again, with macos/vesk.entitlements and the hardened runtime, since stripping
# invalidates the build's signature, and the entitlements go along for an app that signs
# them again with its own identity. The platform package is assembled in a folder of
# its own, so a checkout never holds packed copies that the lookup would prefer to
# the build's own helpers.
# Usage: tools/pack-node.sh [BUILD_DIR [OUT_DIR]]     defaults: build, BUILD_DIR/npm
#   VESK_PLATFORM=darwin-x64         the platform package, when the build's architecture
#                                    is not the machine's (default: from uname)
#   VESK_CODESIGN_IDENTITY="..."     macOS signing identity (default "-", ad hoc)
#   PACK_FLAGS=--dry-run             lists what would be packed, writes nothing
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build=$(cd "${1:-build}" && pwd)
out=${2:-$build/npm}
mkdir -p "$out" && out=$(cd "$out" && pwd)

if [ -z "${VESK_PLATFORM:-}" ]; then
  case "$(uname -s)-$(uname -m)" in
    Linux-x86_64) VESK_PLATFORM=linux-x64 ;;
    Darwin-arm64) VESK_PLATFORM=darwin-arm64 ;;
    Darwin-x86_64) VESK_PLATFORM=darwin-x64 ;;
    *) echo "no platform package for $(uname -s) $(uname -m)" >&2; exit 1 ;;
  esac
fi
manifest=clients/node/platforms/$VESK_PLATFORM/package.json
[ -f "$manifest" ] || { echo "no $manifest" >&2; exit 1; }

# The main package names its platform packages by exact version: all must agree.
node -e '
  const main = require(process.argv[1]), platform = require(process.argv[2]);
  const wanted = main.optionalDependencies[platform.name];
  if (wanted !== main.version || platform.version !== main.version) {
    console.error(`${platform.name} ${platform.version}: the main package ${main.version} wants ${wanted}`);
    process.exit(1);
  }' "$repo/clients/node/package.json" "$repo/$manifest"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/bin"
cp "$manifest" "$stage/package.json"
# A macOS app re-signs the helpers with its own identity: they keep these entitlements.
if [ "${VESK_PLATFORM%%-*}" = darwin ]; then cp macos/vesk.entitlements "$stage/"; fi
for helper in vesk-audio-tap vesk-input-monitor; do
  [ -x "$build/$helper" ] || { echo "no $build/$helper: build it first" >&2; exit 1; }
  cp "$build/$helper" "$stage/bin/$helper"
  strip "$stage/bin/$helper"
  if [ "${VESK_PLATFORM%%-*}" = darwin ]; then
    identity=${VESK_CODESIGN_IDENTITY:--}
    flags=(--force --sign "$identity" --options runtime --entitlements "$repo/macos/vesk.entitlements")
    [ "$identity" = - ] || flags+=(--timestamp)
    codesign "${flags[@]}" "$stage/bin/$helper"
    codesign --verify --strict "$stage/bin/$helper"
  fi
done

echo "== $(node -p "require(process.argv[1]).name" "$repo/$manifest")"
(cd "$stage" && npm pack ${PACK_FLAGS:-} --pack-destination "$out")
echo "== vesk-helpers"
(cd clients/node && { [ -x node_modules/.bin/tsc ] || npm ci --prefer-offline --omit=optional; } && npm pack ${PACK_FLAGS:-} --pack-destination "$out")
[ -n "${PACK_FLAGS:-}" ] || echo "tarballs in $out"
