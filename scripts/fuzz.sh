#!/usr/bin/env bash
# Fuzzes the readers with libFuzzer: the MIDI file reader, the registry
# reader, the property bag reader and the test container's script reader.
# Usage: scripts/fuzz.sh [SECONDS] [BUILD_DIR] [TARGET...]
#        scripts/fuzz.sh --runs N [BUILD_DIR] [TARGET...]
#   SECONDS    the time for all targets together (default 60): the MIDI file
#              reader gets half of it, the others share the rest
#   --runs N   instead, N executions of each target, however long they take
#   BUILD_DIR  a build of the fuzz preset (default: $ORVALIS_FUZZ_BUILD_DIR, else build/fuzz)
#   TARGET     midifile, registry, propbag or ocx_script (default: all four)
# New inputs go to a temporary folder; the committed seed corpora are only read.
# A crash leaves its input in BUILD_DIR/fuzz-artifacts/ and makes this exit non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi

runs=""
if [ "${1:-}" = "--runs" ]; then
  runs="${2:-}"
  case "$runs" in
    ''|*[!0-9]*) echo "fuzz.sh: --runs needs a whole number, not '$runs'" >&2; exit 2 ;;
  esac
  shift 2
  seconds=0
else
  seconds="${1:-60}"
  case "$seconds" in
    ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
  esac
  [ $# -gt 0 ] && shift
fi
build="${1:-${ORVALIS_FUZZ_BUILD_DIR:-build/fuzz}}"
[ $# -gt 0 ] && shift

# name | corpora | dictionary | longest input | share of the time
targets_table=(
  "midifile|fuzz/midifile/corpus tests/data/valid tests/data/invalid|fuzz/midifile/midi.dict|8192|3"
  "registry|fuzz/registry/corpus|fuzz/registry/registry.dict|8192|1"
  "propbag|fuzz/propbag/corpus|fuzz/propbag/propbag.dict|4096|1"
  "ocx_script|fuzz/ocx-script/corpus|fuzz/ocx-script/script.dict|4096|1"
)

wanted=("$@")
selected=()
for row in "${targets_table[@]}"; do
  name="${row%%|*}"
  if [ ${#wanted[@]} -eq 0 ] || printf '%s\n' "${wanted[@]}" | grep -qx "$name"; then selected+=("$row"); fi
done
for name in "${wanted[@]}"; do
  printf '%s\n' "${targets_table[@]}" | grep -q "^$name|" ||
    { echo "fuzz.sh: unknown target '$name' (midifile, registry, propbag, ocx_script)" >&2; exit 2; }
done

shares=0
for row in "${selected[@]}"; do shares=$((shares + ${row##*|})); done

mkdir -p "$build/fuzz-artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for row in "${selected[@]}"; do
  IFS='|' read -r name corpora dict max_len share <<<"$row"
  fuzzer="$build/fuzz/${name/_/-}/${name}_fuzz"
  if [ ! -x "$fuzzer" ]; then
    echo "fuzz.sh: ${name}_fuzz not found in $build/fuzz; build it first: cmake --preset fuzz && cmake --build --preset fuzz" >&2
    exit 1
  fi
  if [ -n "$runs" ]; then
    bound=(-runs="$runs")
    what="$runs executions"
  else
    time=$((seconds * share / shares))
    [ "$time" -lt 1 ] && time=1
    bound=(-max_total_time="$time")
    what="$time s"
  fi
  mkdir -p "$work/$name"
  log="$build/fuzz-artifacts/$name-fuzz.log"
  echo "fuzz.sh: fuzzing $name for $what (full log: $log)"
  # shellcheck disable=SC2086 # the corpora are a list of folders
  set +e
  "$fuzzer" "$work/$name" $corpora "${bound[@]}" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -dict="$dict" -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$name-" 2>&1 |
    tee "$log" |
    grep --line-buffered -E '^#[0-9]+.*(INITED|DONE)|ERROR|SUMMARY|Test unit written|stat::number_of_executed_units'
  status="${PIPESTATUS[0]}"
  set -e
  if [ "$status" -ne 0 ]; then
    echo "fuzz.sh: the $name fuzzer stopped with status $status; the input is in $build/fuzz-artifacts/" >&2
    exit "$status"
  fi
done
echo "fuzz.sh: no faults found"
