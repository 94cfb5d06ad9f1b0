# Sourced by the sequencer benchmarks: a PulseAudio daemon with a null sink,
# which plays into nothing at the pace of a real device, for the real-time
# measurements. start_null_sink LOG installs pulseaudio and pulseaudio-utils
# when they are missing (as root, or through sudo) and starts a daemon unless
# one answers; stop_null_sink ends the daemon it started.
started_pulse=0

start_null_sink() {
  if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
    local SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    echo "installing pulseaudio and pulseaudio-utils for this measurement"
    $SUDO apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends pulseaudio pulseaudio-utils >/dev/null
  fi
  if ! pactl info >/dev/null 2>&1; then
    # Running as root needs --system=false spelled out.
    pulseaudio --daemonize=yes --system=false --exit-idle-time=-1 --disallow-exit -n \
      --load="module-null-sink sink_name=bench" --load="module-native-protocol-unix" \
      --log-target=file:"$1"
    started_pulse=1
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  fi
}

stop_null_sink() {
  if [ "$started_pulse" -eq 1 ]; then
    pulseaudio --kill 2>/dev/null || true
    started_pulse=0
  fi
}
