#!/usr/bin/env bash
# Runs x11_bench, then x11_click_bench, on a display: the one in $DISPLAY, or
# an Xvfb of its own (1340x1040, big enough for the 4 x 4 grids) that it
# stops afterwards.
# Usage: bench/x11/run.sh [BUILD_DIR] [x11_bench options...]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/default}
shift || true
bench="$build/bench/x11/x11_bench"
clicks="$build/bench/x11/x11_click_bench"
for program in "$bench" "$clicks"; do
  if [ ! -x "$program" ]; then
    echo "run.sh: $program is not built (cmake --build $build --target x11_bench x11_click_bench)" >&2
    exit 1
  fi
done
if [ -z "${DISPLAY:-}" ]; then
  exec 3< <(Xvfb -displayfd 1 -screen 0 1340x1040x24 -nolisten tcp 2>/dev/null)
  xvfb=$!
  read -r -t 10 number <&3 || { echo "run.sh: Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$number"
  trap 'kill $xvfb 2>/dev/null || true' EXIT
fi
"$bench" "$@"
"$clicks"
