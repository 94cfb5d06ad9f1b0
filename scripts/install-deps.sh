#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# demos need. Safe to run again: apt-get skips what is already installed.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format clang-tidy
  libgtest-dev libgmock-dev libbenchmark-dev
  libfluidsynth-dev fluidsynth timgm6mb-soundfont librtmidi-dev libasound2-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-tools
  libcairo2-dev fonts-dejavu-core libx11-dev xvfb x11-apps xdotool
  libxcb1-dev libxcb-xtest0-dev x11-utils python3-tk openbox gstreamer1.0-x
  pybind11-dev python3-pybind11 python3-dev python3-pytest python3-mido
  midicsv
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages already installed"
  exit 0
fi

echo "install-deps: installing ${#missing[@]} packages: ${missing[*]}"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${PACKAGES[@]}"
