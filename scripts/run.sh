#!/usr/bin/env bash
# Sets up everything and runs the main job on the bundled example song.
# Usage: scripts/run.sh [FILE]
set -euo pipefail
cd "$(dirname "$0")/.."

song="${1:-examples/example.mid}"

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

build/default/tools/midi-dump "$song"
