#!/usr/bin/env bash
# A private, headless sound server for the integration tests: PulseAudio in user mode with one
# null sink ("verbat_test") whose monitor the tests record. Nothing goes near HOME or a desktop
# session: the socket, cookie, runtime and state files all live in one private directory.
#
#   scripts/sound-server.sh start [DIR]   start it (DIR defaults to /tmp/verbat-sound-$UID) and
#                                         write DIR/env, the variables a client needs
#   scripts/sound-server.sh stop [DIR]    stop the server and its monitor reader, remove DIR
#   scripts/sound-server.sh status [DIR]  exit 0 when it answers
#
# Use from a shell:  scripts/sound-server.sh start && set -a && . /tmp/verbat-sound-$UID/env && set +a
# The tests also find DIR/env themselves when PULSE_SERVER is not set (tests/support).
set -uo pipefail

cmd=${1:-}
dir=${2:-${VERBAT_SOUND_DIR:-/tmp/verbat-sound-$(id -u)}}
sink=verbat_test

client_env() {
  export XDG_RUNTIME_DIR=$dir/runtime
  export PULSE_SERVER=unix:$dir/native
  export PULSE_CLIENTCONFIG=$dir/client.conf
  export PULSE_COOKIE=$dir/cookie
  export HOME=$dir/home
}

answers() {
  (client_env; timeout 5 pactl info >/dev/null 2>&1)
}

stop() {
  [[ -d $dir ]] || return 0
  if [[ -f $dir/reader.pid ]]; then
    kill "$(cat "$dir/reader.pid")" 2>/dev/null
  fi
  local pid=""
  [[ -f $dir/runtime/pulse/pid ]] && pid=$(cat "$dir/runtime/pulse/pid" 2>/dev/null)
  if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null
    # The daemon takes about two seconds to exit; do not leave it behind.
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  fi
  rm -rf "$dir"
}

start() {
  command -v pulseaudio >/dev/null || { echo "sound-server: pulseaudio is not installed" >&2; return 1; }
  if [[ -f $dir/env ]] && answers; then return 0; fi
  stop
  mkdir -p "$dir/runtime" "$dir/home" "$dir/state" || return 1
  chmod 700 "$dir" "$dir/runtime"
  cat >"$dir/client.conf" <<CONF
autospawn = no
cookie-file = $dir/cookie
default-server = unix:$dir/native
CONF
  (
    client_env
    export XDG_CONFIG_HOME=$dir/home XDG_STATE_HOME=$dir/state
    # No CPU watchdog: the daemon's own would end it after a spell of heavy use, and the test
    # server must stay for the whole run.
    pulseaudio -D -n --system=false --exit-idle-time=-1 --disallow-exit --realtime=false \
      --high-priority=false --no-cpu-limit=true --use-pid-file=yes \
      --log-target=file:"$dir/pulse.log" \
      -L "module-null-sink sink_name=$sink rate=44100 channels=2" \
      -L "module-native-protocol-unix auth-anonymous=1 socket=$dir/native" \
      >>"$dir/pulse.log" 2>&1
  ) || { echo "sound-server: pulseaudio did not start (see $dir/pulse.log)" >&2; tail -5 "$dir/pulse.log" >&2; stop; return 1; }
  for _ in $(seq 50); do answers && break; sleep 0.1; done
  answers || { echo "sound-server: no answer on $dir/native" >&2; stop; return 1; }
  (
    client_env
    pactl set-default-sink $sink
    pactl set-default-source $sink.monitor
    # An idle null sink renders in 2-second blocks, so the first stream after idle stalls; a
    # low-latency reader on the monitor and one suspend/resume keep it rendering in small steps.
    parec --latency-msec=20 -d $sink.monitor >/dev/null 2>&1 </dev/null &
    echo $! >"$dir/reader.pid"
    pactl suspend-sink $sink 1
    pactl suspend-sink $sink 0
  ) >/dev/null 2>&1
  cat >"$dir/env" <<ENV
XDG_RUNTIME_DIR=$dir/runtime
PULSE_SERVER=unix:$dir/native
PULSE_CLIENTCONFIG=$dir/client.conf
PULSE_COOKIE=$dir/cookie
VERBAT_TEST_SINK=$sink
ENV
}

case $cmd in
  start) start ;;
  stop) stop ;;
  status) answers ;;
  *) echo "usage: $0 start|stop|status [DIR]" >&2; exit 2 ;;
esac
