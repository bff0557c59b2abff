#!/usr/bin/env bash
# Takes a picture of the main window as a user sees it: starts the program under a private Xvfb
# display with the virtual sound device, loads FILE, presses Play, lets it play for a couple of
# seconds (so that the counter and a long file name move), saves the window to OUT.png, and
# ends the program and the display it started.
#
#   tools/screenshot.sh FILE OUT.png        (the program from build/, or $VERBAT_BIN)
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: $0 FILE OUT.png" >&2
  exit 2
fi
file=$(realpath "$1")
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${VERBAT_BIN:-$root/build/app/verbat}
play_seconds=${VERBAT_SCREENSHOT_PLAY:-3}

[[ -x "$bin" ]] || { echo "screenshot: no program at $bin (build it first, or set VERBAT_BIN)" >&2; exit 1; }
[[ -f "$file" ]] || { echo "screenshot: no file $file" >&2; exit 1; }
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is not installed" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pid=""
app_pid=""
cleanup() {
  set +e
  if [[ -n "$app_pid" ]]; then kill "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null; fi
  if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number to the descriptor given.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" </dev/null >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [[ -s "$work/display" ]] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; echo "screenshot: Xvfb did not start" >&2; exit 1; }
  sleep 0.1
done
[[ -s "$work/display" ]] || { echo "screenshot: Xvfb gave no display number" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"

VERBAT_AUDIO=virtual QT_QPA_PLATFORM=xcb "$bin" "$file" </dev/null >"$work/verbat.log" 2>&1 &
app_pid=$!

wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Verbat$' | head -n1 || true)
[[ -n "$wid" ]] || { cat "$work/verbat.log" >&2; echo "screenshot: the window did not appear" >&2; exit 1; }
sleep 1  # the file named on the command line is loaded just after the window shows

# The client area is 118 pixels high under the menu bar; Play sits at (83, 95), 33 x 19.
eval "$(xdotool getwindowgeometry --shell "$wid")"
menu_height=$((HEIGHT - 118))
xdotool mousemove --window "$wid" $((83 + 16)) $((menu_height + 95 + 9)) click 1
xdotool mousemove --window "$wid" 330 $((menu_height + 30))
sleep "$play_seconds"

import -window "$wid" "$out"
echo "screenshot: $out (${WIDTH}x${HEIGHT})"
