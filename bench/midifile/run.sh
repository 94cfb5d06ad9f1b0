#!/usr/bin/env bash
# Measures how fast MIDI::File loads MIDI files, beside midicsv on the same
# inputs, and how much memory a load takes. Generates two input sets in a
# temporary folder: 50 MB of realistic songs (many small files) and one
# format-1 file of 100 MB.
# Usage: bench/midifile/run.sh [BUILD_DIR]   (default: build/default)
# Needs midifile-bench built in BUILD_DIR and midicsv (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
  sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi

build="${1:-build/default}"
bench="$build/bench/midifile/midifile-bench"
if [ ! -x "$bench" ]; then
  echo "run.sh: $bench not found; build it: cmake --preset default && cmake --build --preset default --target midifile-bench" >&2
  exit 1
fi
if ! command -v midicsv >/dev/null; then
  echo "run.sh: midicsv not found; scripts/install-deps.sh installs it" >&2
  exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "== generating inputs in $work"
"$bench" generate-songs "$work/songs" 50 | tail -n 1
"$bench" generate-large "$work/large.mid" 100 | tail -n 1

# Best of two runs of midicsv over the set, writing CSV to /dev/null.
# Prints "WALL CPU" in seconds (CPU = user + system, midicsv's processes only).
time_midicsv() {
  local best_wall="" best_cpu="" wall user sys line
  local TIMEFORMAT='%R %U %S'
  for _ in 1 2; do
    line=$( { time (for f in "$@"; do midicsv "$f" >/dev/null; done) ; } 2>&1 )
    read -r wall user sys <<<"$line"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }')
    if [ -z "$best_wall" ] || awk -v a="$wall" -v b="$best_wall" 'BEGIN { exit !(a < b) }'; then best_wall=$wall; fi
    if [ -z "$best_cpu" ] || awk -v a="$cpu" -v b="$best_cpu" 'BEGIN { exit !(a < b) }'; then best_cpu=$cpu; fi
  done
  echo "$best_wall $best_cpu"
}

declare -A ours theirs megabytes
for set in songs large; do
  if [ "$set" = songs ]; then inputs=("$work"/songs/*.mid); else inputs=("$work/large.mid"); fi
  echo
  echo "== $set: MIDI::File (${#inputs[@]} files)"
  "$bench" measure --repeat 3 "${inputs[@]}" | tee "$work/$set.txt" | grep -v '^RESULT'
  ours[$set]=$(grep '^RESULT load_wall' "$work/$set.txt" | sed 's/.*load_wall_mb_per_s=\([0-9.]*\) load_cpu_mb_per_s=\([0-9.]*\)/\1 \2/')
  megabytes[$set]=$(awk '/^input:/ { print $4 }' "$work/$set.txt")
  echo "== $set: midicsv (one process per file, output to /dev/null)"
  read -r wall cpu <<<"$(time_midicsv "${inputs[@]}")"
  theirs[$set]=$(awk -v m="${megabytes[$set]}" -v w="$wall" -v c="$cpu" 'BEGIN { printf "%.1f %.1f", m / w, m / c }')
  echo "  wall $wall s, cpu $cpu s: ${theirs[$set]% *} MB/s by wall clock, ${theirs[$set]#* } MB/s by CPU time"
done

echo
echo "== comparison (MB/s; MIDI::File loads: read, parse and note durations)"
printf '%-8s %14s %14s %14s %14s %9s %9s\n' set "ours wall" "ours cpu" "midicsv wall" "midicsv cpu" "x wall" "x cpu"
for set in songs large; do
  read -r ow oc <<<"${ours[$set]}"
  read -r tw tc <<<"${theirs[$set]}"
  awk -v s="$set" -v ow="$ow" -v oc="$oc" -v tw="$tw" -v tc="$tc" \
    'BEGIN { printf "%-8s %14.1f %14.1f %14.1f %14.1f %8.1fx %8.1fx\n", s, ow, oc, tw, tc, ow / tw, oc / tc }'
done
grep '^memory' "$work/large.txt" | sed 's/^/peak /'
