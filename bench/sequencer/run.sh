#!/usr/bin/env bash
# Measures the sequencer three ways:
#   step    the 2 ms step on a dense song (64 tracks, ~370 events due per step):
#           mean and p99 cost, and the allocations it makes (there must be none)
#   render  orvalis-play --wav against fluidsynth -ni -F on the same 60 s song,
#           SoundFont and sample rate (target: at least 0.9 times its speed)
#   drift   the same song played in real time on a PulseAudio null sink: how far
#           its end lies from the expected time (target: under 5 ms)
# Usage: bench/sequencer/run.sh [--no-realtime] [BUILD_DIR]   (default: build/default)
# The drift part installs pulseaudio and pulseaudio-utils and starts a daemon
# with a null sink for the run (as root, or through sudo), then stops it.
set -euo pipefail
cd "$(dirname "$0")/../.."

realtime=1
build=build/default
for arg in "$@"; do
  case "$arg" in
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --no-realtime) realtime=0 ;;
    *) build="$arg" ;;
  esac
done

bench="$build/bench/sequencer/sequencer-bench"
player="$build/tools/orvalis-play/orvalis-play"
. bench/sequencer/programs.sh
require_programs run.sh "$bench" "$player"
soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2
rate=48000

work="$(mktemp -d)"
. bench/sequencer/null-sink.sh
cleanup() {
  stop_null_sink
  rm -rf "$work"
}
trap cleanup EXIT

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
"$bench" step
echo
"$bench" step --device -2
echo

echo "== offline render, 60 s song, $(basename "$soundfont"), $rate Hz"
"$bench" make-song "$work/song.mid" 60
seconds_of() {
  /usr/bin/python3 -c 'import sys, wave; w = wave.open(sys.argv[1]); print(w.getnframes() / w.getframerate())' "$1"
}
# Best wall time of three runs, in seconds.
best_of_three() {
  local best="" t
  local TIMEFORMAT='%R'
  for _ in 1 2 3; do
    t=$( { time "$@" >/dev/null 2>&1 ; } 2>&1 )
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}
ours=$(best_of_three "$player" --soundfont "$soundfont" --sample-rate "$rate" --wav "$work/ours.wav" "$work/song.mid")
theirs=$(best_of_three fluidsynth -ni -q -F "$work/theirs.wav" -r "$rate" "$soundfont" "$work/song.mid")
ours_audio=$(seconds_of "$work/ours.wav")
theirs_audio=$(seconds_of "$work/theirs.wav")
awk -v ow="$ours" -v oa="$ours_audio" -v tw="$theirs" -v ta="$theirs_audio" 'BEGIN {
  os = oa / ow; ts = ta / tw
  printf "orvalis-play --wav  %5.2f s for %5.1f s of audio: %5.1f x real time\n", ow, oa, os
  printf "fluidsynth -F       %5.2f s for %5.1f s of audio: %5.1f x real time\n", tw, ta, ts
  printf "speed against fluidsynth: %.2f (target 0.9 or more)\n", os / ts
}'
echo

if [ "$realtime" -eq 0 ]; then
  exit 0
fi
echo "== real-time drift on a PulseAudio null sink"
start_null_sink "$work/pulse.log"
"$bench" drift "$work/song.mid"
