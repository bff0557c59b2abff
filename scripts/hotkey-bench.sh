#!/usr/bin/env bash
# The hot-key latency benchmark (bench/app/hotkey_bench) on a private X11 desktop
# (scripts/x11-session.sh) and a private sound server (scripts/sound-server.sh), both started
# here in a folder of their own and ended afterwards; nothing of a real desktop or of another
# run's sound server is touched.
#
#   scripts/hotkey-bench.sh [BUILD_DIR] [hotkey_bench options...]
#
# BUILD_DIR defaults to build/ (the benchmark is built there first); the options go to the
# benchmark: --presses N (default 50), --device virtual|alsa|both, --csv FILE.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [[ $# -gt 0 && $1 != --* ]]; then
  build=$1
  shift
fi

for tool in Xvfb openbox xterm xdotool xprop pulseaudio pactl parec aplay xbindkeys; do
  command -v "$tool" >/dev/null || { echo "hotkey-bench: $tool is not installed" >&2; exit 1; }
done
cmake --build "$build" -j2 --target hotkey_bench >/dev/null || exit 1

work=$(mktemp -d /tmp/verbat-hotkey-bench.XXXXXX) || exit 1
cleanup() {
  "$root/scripts/sound-server.sh" stop "$work/sound" >/dev/null 2>&1
  "$root/scripts/x11-session.sh" stop "$work/x11" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

"$root/scripts/x11-session.sh" start "$work/x11" || exit 1
"$root/scripts/sound-server.sh" start "$work/sound" || exit 1
set -a
# shellcheck disable=SC1091
. "$work/x11/env"
# shellcheck disable=SC1091
. "$work/sound/env"
set +a
# The window's own files (the work folder of the recorder, Qt's runtime folder) stay here.
export XDG_CONFIG_HOME=$work/config TMPDIR=$work
"$build/bench/app/hotkey_bench" "$@"
