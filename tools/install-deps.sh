#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need, from Debian's packages.
# Idempotent: when every package is already there it does nothing and asks no server.
set -euo pipefail

PACKAGES=(
  # build
  cmake ninja-build g++ clang pkg-config
  nlohmann-json3-dev libsoxr-dev libpulse-dev libx11-dev libxi-dev libxtst-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev python3 libclang-rt-dev nodejs
  # the stacks of a helper that went quiet, in a failing test's message
  gdb
  # the private sound server and virtual display of the end-to-end tests and the demo
  pulseaudio pulseaudio-utils xvfb xdotool x11-utils sox espeak-ng
  # the same tests against PipeWire's PulseAudio front end
  pipewire pipewire-pulse wireplumber dbus-daemon
  # push-to-talk on Wayland: sd-bus, and the shortcut portal with its KDE backend and
  # kglobalaccel for the end-to-end tests
  libsystemd-dev xdg-desktop-portal xdg-desktop-portal-kde libkf5globalaccel-bin
)
# Node.js packages build with npm; some Node.js builds bring their own, Debian's comes apart.
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
