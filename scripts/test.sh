#!/usr/bin/env bash
# Installs the dependencies, then configures, builds and tests every preset CI
# runs: default, asan (address+undefined), tsan, and a bounded fuzz run.
# Usage: scripts/test.sh [preset...]    (default: default asan tsan fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then
  presets=(default asan tsan fuzz)
fi

# Tests that open X11 windows find a display here; one server serves every preset.
if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
  export DISPLAY=:97
  Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  trap 'kill $xvfb_pid 2>/dev/null || true' EXIT
fi

# Formatting is checked once, before anything is built: it takes seconds.
for preset in "${presets[@]}"; do
  if [ "$preset" = default ]; then
    scripts/format.sh --check
    break
  fi
done

for preset in "${presets[@]}"; do
  start=$(date +%s)
  echo "=== $preset: configure"
  cmake --preset "$preset" >/dev/null
  echo "=== $preset: build"
  cmake --build --preset "$preset"
  if [ "$preset" = fuzz ]; then
    if [ -x scripts/fuzz.sh ]; then
      echo "=== fuzz: 60 s on the readers"
      scripts/fuzz.sh 60
    fi
  else
    echo "=== $preset: test"
    ctest --preset "$preset"
  fi
  echo "=== $preset: done in $(( $(date +%s) - start )) s"
done
