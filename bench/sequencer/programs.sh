# Sourced by the sequencer benchmarks: require_programs SCRIPT PROGRAM...
# exits with a hint when a program of the build is missing (each built by the
# target of its own name) or when fluidsynth, the yardstick, is not installed.
require_programs() {
  local script="$1" program targets=""
  shift
  for program in "$@"; do targets="$targets $(basename "$program")"; done
  for program in "$@"; do
    if [ ! -x "$program" ]; then
      echo "$script: $program not found; build it: cmake --preset default && cmake --build --preset default --target$targets" >&2
      exit 1
    fi
  done
  if ! command -v fluidsynth >/dev/null; then
    echo "$script: fluidsynth not found; scripts/install-deps.sh installs it" >&2
    exit 1
  fi
}
