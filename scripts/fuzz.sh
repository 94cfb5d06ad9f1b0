#!/usr/bin/env bash
# Fuzzes the MIDI file reader for a bounded time with libFuzzer.
# Usage: scripts/fuzz.sh [SECONDS] [BUILD_DIR]
#   SECONDS    how long to fuzz (default 60)
#   BUILD_DIR  a build of the fuzz preset (default: $ORVALIS_FUZZ_BUILD_DIR, else build/fuzz)
# New inputs go to a temporary folder; the committed seed corpus is only read.
# A crash leaves its input in BUILD_DIR/fuzz-artifacts/ and makes this exit non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
  sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi

seconds="${1:-60}"
build="${2:-${ORVALIS_FUZZ_BUILD_DIR:-build/fuzz}}"
case "$seconds" in
  ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

fuzzer="$build/fuzz/midifile/midifile_fuzz"
if [ ! -x "$fuzzer" ]; then
  echo "fuzz.sh: $fuzzer not found; build it first: cmake --preset fuzz && cmake --build --preset fuzz" >&2
  exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/fuzz-artifacts"

log="$build/fuzz-artifacts/midifile-fuzz.log"
echo "fuzz.sh: fuzzing the MIDI file reader for $seconds s (full log: $log)"
set +e
"$fuzzer" "$work" fuzz/midifile/corpus tests/data/valid tests/data/invalid \
  -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -dict=fuzz/midifile/midi.dict -print_final_stats=1 \
  -artifact_prefix="$build/fuzz-artifacts/" 2>&1 |
  tee "$log" |
  grep --line-buffered -E '^#[0-9]+.*(INITED|DONE|pulse)|ERROR|SUMMARY|Test unit written|stat::number_of_executed_units'
status="${PIPESTATUS[0]}"
set -e
if [ "$status" -ne 0 ]; then
  echo "fuzz.sh: the fuzzer stopped with status $status; the input is in $build/fuzz-artifacts/" >&2
  exit "$status"
fi
echo "fuzz.sh: no faults found"
