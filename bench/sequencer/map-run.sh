#!/usr/bin/env bash
# Measures the sequencer's two options:
#   drift   a 10-minute song with 200 tempo changes, followed through its tempo
#           map: rendered offline, played in real time on a PulseAudio null
#           sink, played by orvalis-play --follow-tempo offline and in real
#           time through the player control, and rendered by fluidsynth -F with
#           the same SoundFont; for each, the last note's time against the
#           map's exact time, taken from the first note's (target: under 1 ms)
#   chase   the messages a seek into a dense orchestral song sends, the complete
#           chase against replaying every earlier controller event
# Usage: bench/sequencer/map-run.sh [--no-realtime] [BUILD_DIR]   (default: build/default)
# The real-time part installs pulseaudio and pulseaudio-utils and starts a
# daemon with a null sink for the run (as root, or through sudo), then stops it.
set -euo pipefail
cd "$(dirname "$0")/../.."

realtime=1
build=build/default
for arg in "$@"; do
  case "$arg" in
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --no-realtime) realtime=0 ;;
    *) build="$arg" ;;
  esac
done

bench="$build/bench/sequencer/sequencer-map-bench"
player="$build/tools/orvalis-play/orvalis-play"
. bench/sequencer/programs.sh
require_programs map-run.sh "$bench" "$player"
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
"$bench" chase-size
echo

echo "== drift under the tempo map, $(basename "$soundfont"), $rate Hz"
"$bench" make-song "$work/song.mid" 10 200 | tee "$work/song.txt"
first=$(sed -n 's/^first note: .*exact \([0-9.]*\) s.*/\1/p' "$work/song.txt")
last=$(sed -n 's/^last note: .*exact \([0-9.]*\) s.*/\1/p' "$work/song.txt")

# Time of the last note after the first one's, against the map's.
drift_ms() {
  awk -v f="$1" -v l="$2" -v ef="$first" -v el="$last" 'BEGIN { printf "%+.3f", ((l - f) - (el - ef)) * 1000 }'
}
onsets() {
  echo "$("$bench" onset "$1" "$first") $("$bench" onset "$1" "$last")"
}
# When the song's two lone notes (key 72, velocity 110) went out, in seconds,
# from a capture log.
sent_in_log() {
  awk -F'\t' '$2 == "90 48 6E" { if (first == "") first = $1; last = $1 }
    END { printf "%.6f %.6f\n", first / 1000, last / 1000 }' "$1"
}
# orvalis-play in real time makes the player control through a registry; a
# scratch one, so that the user's is left alone.
play() {
  "$player" --registry "$work/registry" --follow-tempo "$@" "$work/song.mid"
}

"$bench" render "$work/song.mid" "$work/ours.wav" "$soundfont" | tee "$work/ours.txt"
sent=$(sed -n 's/^offline render: first note-on sent \([0-9.]*\) s after Play, last \([0-9.]*\) s/\1 \2/p' "$work/ours.txt")
read -r ours_first ours_last <<<"$(onsets "$work/ours.wav")"
fluidsynth -ni -q -F "$work/theirs.wav" -r "$rate" "$soundfont" "$work/song.mid" >/dev/null 2>&1
read -r theirs_first theirs_last <<<"$(onsets "$work/theirs.wav")"
echo "offline, sent by the step:      last note $(drift_ms $sent) ms from the map"
echo "offline, onset in our audio:    last note $(drift_ms "$ours_first" "$ours_last") ms from the map"
echo "fluidsynth -F, onset in audio:  last note $(drift_ms "$theirs_first" "$theirs_last") ms from the map"
play --offline --capture "$work/play-offline.txt"
echo "orvalis-play --follow-tempo --offline, sent:  last note $(drift_ms $(sent_in_log "$work/play-offline.txt")) ms from the map"
echo

if [ "$realtime" -eq 0 ]; then
  exit 0
fi
echo "== real time, following the tempo map, on a PulseAudio null sink"
start_null_sink "$work/pulse.log"
"$bench" drift "$work/song.mid" | tee "$work/realtime.txt"
sent=$(sed -n 's/^real time: first note-on sent \([0-9.]*\) s after Play, last \([0-9.]*\) s/\1 \2/p' "$work/realtime.txt")
echo "real time, sent by the step:    last note $(drift_ms $sent) ms from the map"
echo "== real time, orvalis-play --follow-tempo through the player control, on the capture device"
play --capture "$work/play-realtime.txt"
echo "orvalis-play --follow-tempo, sent:  last note $(drift_ms $(sent_in_log "$work/play-realtime.txt")) ms from the map"
