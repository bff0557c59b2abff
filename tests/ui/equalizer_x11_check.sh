#!/usr/bin/env bash
# The equalizer window on a real X server (a private Xvfb without a window manager): dragging
# the background moves the window (the window's own fallback, as no window manager is there to
# move it), a click on the switch turns it on, and a picture of the window is saved and checked.
#
#   equalizer_x11_check.sh DEMO_PROGRAM WORK_DIR [OUT.png]
# Exit 77 (skipped) when a tool is missing, unless CI=true.
set -euo pipefail
demo=$1 work=$2 out=${3:-$2/equalizer.png}
for tool in Xvfb xdotool import identify convert; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed"
    [[ "${CI:-}" == true ]] && exit 1
    exit 77
  fi
done
rm -rf "$work" && mkdir -p "$work"
xvfb_pid="" demo_pid=""
cleanup() {
  set +e
  if [[ -n "$demo_pid" ]]; then kill "$demo_pid" 2>/dev/null; wait "$demo_pid" 2>/dev/null; fi
  if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" </dev/null \
  >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [[ -s "$work/display" ]] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log"; echo "Xvfb did not start"; exit 1; }
  sleep 0.1
done
[[ -s "$work/display" ]] || { echo "Xvfb gave no display number"; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"

# Started from an empty folder: the pictures must come from beside the program.
(cd "$work" && QT_QPA_PLATFORM=xcb exec "$demo" </dev/null >"$work/demo.log" 2>&1) &
demo_pid=$!
wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$demo_pid" | head -n1 || true)
[[ -n "$wid" ]] || { cat "$work/demo.log"; echo "the window did not appear"; exit 1; }
sleep 0.5

eval "$(xdotool getwindowgeometry --shell "$wid")"
[[ $WIDTH -eq 413 && $HEIGHT -eq 152 ]] || { echo "window is ${WIDTH}x$HEIGHT"; exit 1; }
x0=$X y0=$Y
# Drag by the title strip, 40 right and 30 down.
xdotool mousemove $((x0 + 200)) $((y0 + 8)) mousedown 1
xdotool mousemove $((x0 + 220)) $((y0 + 23))
xdotool mousemove $((x0 + 240)) $((y0 + 38)) mouseup 1
sleep 0.3
eval "$(xdotool getwindowgeometry --shell "$wid")"
[[ $X -eq $((x0 + 40)) && $Y -eq $((y0 + 30)) ]] || {
  echo "the drag left the window at $X,$Y (from $x0,$y0)"; exit 1; }

# The switch (8, 106, 43 x 18) clicks instead of dragging.
xdotool mousemove $((X + 29)) $((Y + 115)) click 1
xdotool mousemove $((X + 200)) $((Y + 200))
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$wid")"
[[ $X -eq $((x0 + 40)) && $Y -eq $((y0 + 30)) ]] || { echo "the click moved the window"; exit 1; }
import -window "$wid" "$out"

size=$(identify -format '%w %h' "$out")
[[ $size == "413 152" ]] || { echo "picture is $size"; exit 1; }
pixel() { convert "$out" -format "%[fx:int(255*p{$1,$2}.r)] %[fx:int(255*p{$1,$2}.g)] %[fx:int(255*p{$1,$2}.b)]" info:; }
read -r r g b <<<"$(pixel 200 8)"   # the dark title strip
(( r < 90 && g < 90 && b < 100 )) || { echo "title strip is $r $g $b"; exit 1; }
read -r r g b <<<"$(pixel 399 10)"  # the close box, red
(( r > g + 30 )) || { echo "close box is $r $g $b"; exit 1; }
# The switch shows "ON": its glyph holds bright green.
greens=$(convert "$out" -crop 40x14+9+108 +repage -fx 'g>0.7 && r<0.6 ? 1 : 0' -format '%[fx:int(mean*w*h)]' info:)
(( greens > 10 )) || { echo "no green ON glyph on the switch ($greens pixels)"; exit 1; }

# Closing by the close image ends the demo, which reports the switch on and no message box.
xdotool mousemove $((X + 402)) $((Y + 13)) click 1
for _ in $(seq 50); do kill -0 "$demo_pid" 2>/dev/null || break; sleep 0.1; done
status=0
wait "$demo_pid" || status=$?
demo_pid=""
grep -q "switch on" "$work/demo.log" && [[ $status -eq 0 ]] || {
  cat "$work/demo.log"; echo "the demo ended with $status"; exit 1; }
echo "X11 check passed"
