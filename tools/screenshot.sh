#!/usr/bin/env bash
# Takes a picture of the main window as a user sees it: starts the program under a private Xvfb
# display with the virtual sound device, loads FILE, presses Play, lets it play for a couple of
# seconds (so that the counter and a long file name move), saves the window to OUT.png, and
# ends the program and the display it started.
#
#   tools/screenshot.sh FILE OUT.png        (the program from build/, or $VERBAT_BIN)
#
# With --dialog, a window manager (openbox) frames the windows as on a desktop, FILE is loaded,
# and instead of playing the picture shows the main window with a dialog opened from its menu:
#
#   tools/screenshot.sh --dialog open FILE OUT.png      the Open dialog, in FILE's folder
#   tools/screenshot.sh --dialog counter FILE OUT.png   the counter entry, opened, closed and
#                                                       opened again (its second showing)
#
# and prints the frames' outer top-left corners: "frame main X Y", "frame dialog X Y" (for the
# counter entry one line per showing).
set -euo pipefail

dialog=""
if [[ ${1:-} == --dialog ]]; then
  dialog=${2:-}
  shift 2 || true
  [[ $dialog == open || $dialog == counter ]] || { echo "screenshot: --dialog open|counter" >&2; exit 2; }
fi
if [[ $# -ne 2 ]]; then
  echo "usage: $0 [--dialog open|counter] FILE OUT.png" >&2
  exit 2
fi
file=$(realpath "$1")
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${VERBAT_BIN:-$root/build/app/verbat}
play_seconds=${VERBAT_SCREENSHOT_PLAY:-3}

[[ -x "$bin" ]] || { echo "screenshot: no program at $bin (build it first, or set VERBAT_BIN)" >&2; exit 1; }
[[ -f "$file" ]] || { echo "screenshot: no file $file" >&2; exit 1; }
tools=(Xvfb xdotool import)
[[ -z $dialog ]] || tools+=(openbox xprop xwininfo convert)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is not installed" >&2; exit 1; }
done

# The program runs in the user's language; the X tools in C.UTF-8, which every system has
# (some of them stop at a language whose locale files are not installed).
program_lc_all=${LC_ALL:-}
export LC_ALL=C.UTF-8

work=$(mktemp -d)
xvfb_pid=""
wm_pid=""
app_pid=""
cleanup() {
  set +e
  if [[ -n "$app_pid" ]]; then kill "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null; fi
  if [[ -n "$wm_pid" ]]; then kill "$wm_pid" 2>/dev/null; wait "$wm_pid" 2>/dev/null; fi
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

if [[ -n $dialog ]]; then
  # The window manager and the program keep their settings in the scratch folder, not the
  # user's (the window manager's defaults; Qt's file dialog remembers its last state).
  export HOME=$work XDG_CONFIG_HOME=$work/config
  # The window manager announces itself on the root window once it manages windows. Now and
  # then it cannot open the display just after the server came up: it is started again.
  for attempt in 1 2 3; do
    openbox </dev/null >"$work/openbox.log" 2>&1 &
    wm_pid=$!
    for _ in $(seq 100); do
      xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break 2
      kill -0 "$wm_pid" 2>/dev/null || break
      sleep 0.1
    done
    wait "$wm_pid" 2>/dev/null || true
    wm_pid=""
    [[ $attempt -lt 3 ]] || { cat "$work/openbox.log" >&2; echo "screenshot: openbox did not start" >&2; exit 1; }
    sleep 0.5
  done
fi

# The program runs from a copy in the scratch folder, beside its keyboard-watch library and data,
# so that its settings file and single-instance lock are the scratch folder's own: several
# pictures may be taken side by side, and the user's own settings are never touched.
program_dir=$(dirname "$bin")
mkdir -p "$work/program" "$work/run"
chmod 700 "$work/run"
cp "$bin" "$program_dir/KbdWatch.so" "$work/program/" ||
  { echo "screenshot: no keyboard-watch library beside $bin" >&2; exit 1; }
cp "$program_dir"/*.jpg "$program_dir"/VerbatHelp.html "$work/program/" 2>/dev/null
LC_ALL=$program_lc_all VERBAT_AUDIO=virtual QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$work/run \
  XDG_CONFIG_HOME=$work/config "$work/program/$(basename "$bin")" "$file" </dev/null \
  >"$work/verbat.log" 2>&1 &
app_pid=$!

wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Verbat$' | head -n1 || true)
[[ -n "$wid" ]] || { cat "$work/verbat.log" >&2; echo "screenshot: the window did not appear" >&2; exit 1; }
sleep 1  # the file named on the command line is loaded just after the window shows

# The outer rectangle of a window's frame: "X Y W H" (the window itself when unframed).
frame_of() {
  # xwininfo, not xdotool: xdotool counts the frame's offset twice under a window manager.
  local info x y w h left=0 right=0 top=0 bottom=0 extents
  info=$(xwininfo -id "$1")
  x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
  y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
  w=$(sed -n 's/^ *Width: *//p' <<<"$info")
  h=$(sed -n 's/^ *Height: *//p' <<<"$info")
  extents=$(xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= *//p' | tr -d ',')
  [[ -z $extents ]] || read -r left right top bottom <<<"$extents"
  echo "$((x - left)) $((y - top)) $((w + left + right)) $((h + top + bottom))"
}
# Opens a dialog from the main window's menu by its keys and waits until it shows.
open_from_menu() {  # menu key, item key, dialog title
  xdotool windowactivate --sync "$wid" >/dev/null 2>&1 || true
  xdotool key --clearmodifiers "alt+$1"
  sleep 0.3
  xdotool key --clearmodifiers "$2"
  # By the program's windows' names, not "search --name": that reads the legacy title, which
  # is mangled when the program's language has no locale files here.
  local w
  for _ in $(seq 100); do
    for w in $(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null); do
      [[ $(xdotool getwindowname "$w" 2>/dev/null) == "$3" ]] && { echo "$w"; return; }
    done
    sleep 0.1
  done
}

if [[ -n $dialog ]]; then
  read -r mx my mw mh <<<"$(frame_of "$wid")"
  echo "frame main $mx $my"
  if [[ $dialog == open ]]; then
    did=$(open_from_menu f o '開く')
    [[ -n $did ]] || { cat "$work/verbat.log" >&2; echo "screenshot: the Open dialog did not appear" >&2; exit 1; }
    sleep 1.5  # the folder is listed in the background
  else
    for showing in 1 2; do
      did=$(open_from_menu p p 'ｶｳﾝﾀ指定')
      [[ -n $did ]] || { cat "$work/verbat.log" >&2; echo "screenshot: the counter entry did not appear" >&2; exit 1; }
      sleep 0.5
      read -r dx dy _ _ <<<"$(frame_of "$did")"
      echo "frame dialog $dx $dy"
      if [[ $showing == 1 ]]; then
        xdotool type --delay 50 '01:2'
        xdotool key Escape
        xdotool search --sync --onlyvisible --name '^Verbat$' >/dev/null
        sleep 0.5
      else
        xdotool type --delay 50 '00:1'
      fi
    done
  fi
  sleep 0.5
  read -r dx dy dw dh <<<"$(frame_of "$did")"
  # Both frames, with a margin of the desktop around them.
  left=$((mx < dx ? mx : dx)) top=$((my < dy ? my : dy))
  right=$((mx + mw > dx + dw ? mx + mw : dx + dw)) bottom=$((my + mh > dy + dh ? my + mh : dy + dh))
  left=$((left > 8 ? left - 8 : 0)) top=$((top > 8 ? top - 8 : 0))
  import -window root "$work/root.png"
  convert "$work/root.png" -crop "$((right - left + 8))x$((bottom - top + 8))+$left+$top" +repage "$out"
  echo "screenshot: $out"
  exit 0
fi

# The client area is 118 pixels high under the menu bar; Play sits at (83, 95), 33 x 19.
eval "$(xdotool getwindowgeometry --shell "$wid")"
menu_height=$((HEIGHT - 118))
xdotool mousemove --window "$wid" $((83 + 16)) $((menu_height + 95 + 9)) click 1
xdotool mousemove --window "$wid" 330 $((menu_height + 30))
sleep "$play_seconds"

import -window "$wid" "$out"
echo "screenshot: $out (${WIDTH}x${HEIGHT})"
