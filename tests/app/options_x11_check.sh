#!/usr/bin/env bash
# The options dialog end to end on a private X11 desktop (scripts/x11-session.sh): the program
# with its keyboard-watch library, the virtual sound card and a recording. In the dialog's key
# page Shift+Ctrl+F7 is assigned to play/stop and Shift+; to fast-forward, typed with xdotool;
# after OK, Shift+Ctrl+F7 typed into the xterm (another application) starts playback and again
# stops it. Closed through the window manager, the program writes both keys and the counter
# (playback moved it; no step back) into its "Verbat.ini".
#
#   options_x11_check.sh VERBAT_PROGRAM WORK_DIR [PICTURES_DIR]
# With PICTURES_DIR, a picture of each of the dialog's four pages is saved there
# (options-play.png, options-recording1.png, options-recording2.png, options-keys.png).
# Exit 77 (skipped) when a tool is missing, unless CI=true.
set -euo pipefail
program=$1 work=$2 pictures=${3:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
for tool in Xvfb openbox xterm xdotool xprop wmctrl import sox; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed"
    [[ "${CI:-}" == true ]] && exit 1
    exit 77
  fi
done
rm -rf "$work" && mkdir -p "$work/program" "$work/runtime"
chmod 700 "$work/runtime"
session=$work/x11 pid=""
cleanup() {
  set +e
  if [[ -n $pid ]]; then kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
  "$root/scripts/x11-session.sh" stop "$session"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [[ -s $work/program.log ]] && cat "$work/program.log"; exit 1; }

# A copy of the program with its library, so that its settings file lies beside it in the test's
# folder; a lock folder of its own, so that a program already running elsewhere does not count.
cp "$program" "$(dirname "$program")/KbdWatch.so" "$work/program/"
sox -n -r 11025 -b 16 -c 1 "$work/program/voice.wav" synth 60 sine 440 vol 0.1
ini=$work/program/Verbat.ini
cat >"$ini" <<INI
[WaveFile]
AudioFileName=$work/program/voice.wav
Counter=0
RevSec=0
INI

"$root/scripts/x11-session.sh" start "$session" || fail "no X11 session"
set -a
# shellcheck disable=SC1091
. "$session/env"
set +a

(cd "$work" && VERBAT_AUDIO=virtual XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=xcb \
  exec "$work/program/verbat" </dev/null >"$work/program.log" 2>&1) &
pid=$!
main=$(timeout 20 xdotool search --sync --onlyvisible --name '^Verbat$' | head -n1 || true)
[[ -n $main ]] || fail "the main window did not appear"

# The dialog from the Options menu (Alt+O, then S).
xdotool windowactivate --sync "$main"
xdotool key alt+o
sleep 0.3
xdotool key s
dialog=$(timeout 10 xdotool search --sync --onlyvisible --name '^設定$' | head -n1 || true)
[[ -n $dialog ]] || fail "the options dialog did not appear"
eval "$(xdotool getwindowgeometry --shell "$dialog")"
[[ $WIDTH -eq 380 && $HEIGHT -eq 237 ]] || fail "the dialog is ${WIDTH}x$HEIGHT, not 380x237"

# Places in the dialog (its client area is fixed): the tabs, the key page's controls, OK.
click() { xdotool mousemove --window "$dialog" "$1" "$2" click 1; sleep 0.3; }
tab_x=(30 80 135 195)
key_box=(190 63) set_button=(289 63) function_row_y=(59 71 83) ok_button=(253 222)

click "${tab_x[3]}" 16
click "${key_box[@]}"  # play/stop is selected when the dialog opens
xdotool key ctrl+shift+F7
sleep 0.3
click "${set_button[@]}"
click 60 "${function_row_y[2]}"  # 早送り
click "${key_box[@]}"
xdotool key shift+semicolon
sleep 0.3
click "${set_button[@]}"
click 60 "${function_row_y[0]}"  # back to play/stop, now showing its key

if [[ -n $pictures ]]; then
  mkdir -p "$pictures"
  names=(options-play options-recording1 options-recording2 options-keys)
  for i in 0 1 2 3; do
    click "${tab_x[$i]}" 16
    xdotool mousemove --window "$dialog" 370 232  # the pointer out of the way
    sleep 0.3
    import -window "$dialog" "$pictures/${names[$i]}.png"
  done
fi
click "${ok_button[@]}"
for _ in $(seq 50); do
  xdotool search --onlyvisible --name '^設定$' >/dev/null 2>&1 || break
  sleep 0.1
done
xdotool search --onlyvisible --name '^設定$' >/dev/null 2>&1 && fail "OK did not close the dialog"

# The new play/stop key, typed where the user types the transcript.
xdotool windowactivate --sync "$VERBAT_X11_XTERM"
xdotool key ctrl+shift+F7
sleep 2.5
xdotool key ctrl+shift+F7
sleep 0.5

wmctrl -i -c "$main"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "the program did not end when its window was closed"
wait "$pid" || fail "the program ended with status $?"
pid=""

value() { sed -n "s/^$1=//p" "$ini" | tr -d '\r'; }
[[ $(value 01) == "012,118,01" ]] || fail "play/stop is stored as '$(value 01)', not 012,118,01"
[[ $(value 03) == "004,187,03" ]] || fail "fast-forward is stored as '$(value 03)', not 004,187,03"
counter=$(value Counter)
[[ $counter -ge 1 ]] || fail "the counter is '$counter': the new key did not play"
echo "options check passed (counter $counter)"
