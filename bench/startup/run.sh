#!/usr/bin/env bash
# Start-up of the installed Verbat beside a peer player (ffplay, when installed), in one run:
#
#   exec to window mapped                verbat FILE        /  ffplay FILE
#   exec to the first sound heard        verbat --play FILE /  ffplay FILE
#
# The program is installed from the build folder into a temporary prefix (as a user's would
# be); both programs run on a private Xvfb display without a window manager, and play into the
# private headless sound server (scripts/sound-server.sh) through ALSA, whose monitor
# launch_bench records. The two programs take turns, RUNS starts each (default 10); the medians
# and their ratio are printed.
#
#   bench/startup/run.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=$(realpath "${1:-build}")
runs=${2:-10}
tool=$build/bench/startup/launch_bench
[[ -x $tool && -x $build/app/verbat ]] || {
  echo "build first: cmake --build $build --target verbat kbdwatch launch_bench" >&2; exit 1; }

work=$(mktemp -d)
xvfb_pid=""
cleanup() {
  set +e
  [[ -n $xvfb_pid ]] && { kill "$xvfb_pid"; wait "$xvfb_pid"; }
  "$root/scripts/sound-server.sh" stop "$work/sound"
  rm -rf "$work"
}
trap cleanup EXIT

DESTDIR=$work/stage cmake --install "$build" --prefix /opt/verbat >/dev/null
mv "$work/stage/opt/verbat" "$work/verbat"
verbat=$work/verbat/bin/verbat
# A tone at full level from the first sample, so that its onset is where playback starts.
sox -n -r 44100 -b 16 -c 2 "$work/tone.wav" synth 30 sine 440 vol 0.5

# -noreset: the server would otherwise reset when the last program left, refusing the next start.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" </dev/null \
  >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
display=$(head -n1 "$work/display")
export DISPLAY=":$display"
"$root/scripts/sound-server.sh" start "$work/sound"
set -a
# shellcheck disable=SC1091
. "$work/sound/env"
set +a
export HOME=$work/home QT_QPA_PLATFORM=xcb
mkdir -p "$HOME"
unset VERBAT_AUDIO

peer=""
command -v ffplay >/dev/null && peer=ffplay
declare -A samples
measure() {  # label mode command...
  local label=$1 mode=$2
  shift 2
  local ms
  ms=$("$tool" "$mode" -- "$@") || { echo "  $label $mode: failed" >&2; return 0; }
  samples[$label$mode]+="$ms "
}
for i in $(seq "$runs"); do
  measure verbat --mapped "$verbat" "$work/tone.wav"
  [[ -n $peer ]] && measure ffplay --mapped ffplay -nostats -loglevel quiet "$work/tone.wav"
  measure verbat --sound "$verbat" --play "$work/tone.wav"
  [[ -n $peer ]] && measure ffplay --sound ffplay -nostats -loglevel quiet "$work/tone.wav"
  echo "run $i of $runs done" >&2
done

median() { tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{a[NR]=$1} END {if (NR == 0) print "-"; else if (NR % 2) print a[(NR+1)/2]; else printf "%.1f\n", (a[NR/2]+a[NR/2+1])/2}'; }
echo "| what | Verbat (median, ms) | ${peer:-peer} (median, ms) | ratio (peer ÷ Verbat) |"
echo "|---|---|---|---|"
for mode in --mapped --sound; do
  ours=$(median <<<"${samples[verbat$mode]:-}")
  theirs=$(median <<<"${samples[ffplay$mode]:-}")
  ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN {if (a+0 > 0 && b+0 > 0) printf "%.2f", b/a; else print "-"}')
  case $mode in
    --mapped) what="exec to window mapped" ;;
    --sound) what="exec to first sound (--play)" ;;
  esac
  echo "| $what | $ours | $theirs | $ratio |"
done
echo
for key in "${!samples[@]}"; do echo "$key: ${samples[$key]}"; done | sort
