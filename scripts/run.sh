#!/usr/bin/env bash
# Sets up everything, builds the player and plays the bundled example song on
# the sound device. Where no audio output can be opened (no sound card, no
# sound server) the song is rendered to example.wav instead.
# Usage: scripts/run.sh [FILE]
set -euo pipefail
cd "$(dirname "$0")/.."

song="${1:-examples/example.mid}"
wav="$(basename "${song%.*}").wav"
player=build/default/tools/orvalis-play/orvalis-play

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target orvalis-play

errors="$(mktemp)"
trap 'rm -f "$errors"' EXIT

status=0
"$player" "$song" 2>"$errors" || status=$?
if [ "$status" -eq 3 ]; then
  # 3: the output device did not open. Anything else is reported as it is.
  echo "run.sh: no audio output could be opened here, so the song is rendered to a WAV file instead."
  status=0
  "$player" --wav "$wav" "$song" 2>"$errors" || status=$?
  if [ "$status" -eq 0 ]; then
    echo "run.sh: the song is in $(pwd)/$wav"
  fi
fi
cat "$errors" >&2
exit "$status"
