#!/usr/bin/env bash
# A private X11 desktop for tests that type into "another application": an Xvfb display, the
# openbox window manager, and an xterm that holds the keyboard focus (the stand-in for the
# program the user types the transcript in). Nothing of a real desktop is touched; every process
# is ended by its own id.
#
#   scripts/x11-session.sh start DIR    start it and write DIR/env: DISPLAY, VERBAT_X11_XTERM (the
#                                       xterm's window id) and VERBAT_X11_TYPED (a file that
#                                       receives each line typed into the xterm)
#   scripts/x11-session.sh stop DIR     end the three processes, remove DIR
#   scripts/x11-session.sh status DIR   exit 0 when the display answers and the xterm is there
#
# Use from a shell:  scripts/x11-session.sh start /tmp/x && set -a && . /tmp/x/env && set +a
# Sessions may run side by side, each on a display number of its own.
set -uo pipefail

cmd=${1:-}
dir=${2:-}
[[ -n $cmd && -n $dir ]] || { echo "usage: $0 start|stop|status DIR" >&2; exit 2; }

title=verbat-x11-session

display_of() { [[ -s $dir/display ]] && echo ":$(head -n1 "$dir/display")"; }

# A process that has ended but is not yet reaped (a zombie) counts as gone.
alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}

answers() {
  local display
  display=$(display_of) || return 1
  DISPLAY=$display timeout 5 xdotool search --name "^$title\$" >/dev/null 2>&1
}

stop() {
  [[ -d $dir ]] || return 0
  local name pid
  # The clients first, so that none of them complains about a display that went away.
  for name in xterm openbox xvfb; do
    [[ -f $dir/$name.pid ]] || continue
    pid=$(cat "$dir/$name.pid")
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do alive "$pid" || break; sleep 0.05; done
    alive "$pid" && kill -9 "$pid" 2>/dev/null
  done
  rm -rf "$dir"
}

fail() {
  echo "x11-session: $*" >&2
  local log
  for log in xvfb openbox xterm; do
    [[ -s $dir/$log.log ]] && { echo "--- $log:"; tail -5 "$dir/$log.log"; } >&2
  done
  stop
  exit 1
}

start_xvfb() {
  # A display number claimed through Xvfb's lock file /tmp/.XN-lock, which holds the owner's
  # pid. (-displayfd takes no lock file: when such servers start and end side by side, one that
  # ends may remove the socket of the next one on its number.) The numbers start high, clear of
  # servers that take the lowest free one. -noreset: by default the server resets whenever its
  # last client leaves (here the probe below), refusing the next client for that moment.
  local n pid
  for n in $(seq $((100 + RANDOM % 100)) 299); do
    setsid Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset </dev/null \
      >"$dir/xvfb.log" 2>&1 &
    pid=$!
    echo "$pid" >"$dir/xvfb.pid"
    for _ in $(seq 100); do
      alive "$pid" || break  # the number is taken: try the next
      if [[ $(cat "/tmp/.X$n-lock" 2>/dev/null) -eq $pid ]] &&
        DISPLAY=:$n xprop -root >/dev/null 2>&1; then
        echo "$n" >"$dir/display"
        return 0
      fi
      sleep 0.1
    done
    alive "$pid" && fail "Xvfb :$n did not answer"
  done
  fail "Xvfb found no free display number"
}

start() {
  local tool
  for tool in Xvfb openbox xterm xdotool xprop; do
    command -v "$tool" >/dev/null || { echo "x11-session: $tool is not installed" >&2; exit 1; }
  done
  mkdir -p "$dir" || exit 1
  start_xvfb
  local display
  display=$(display_of)
  export DISPLAY=$display

  setsid openbox --sm-disable </dev/null >"$dir/openbox.log" 2>&1 &
  echo $! >"$dir/openbox.pid"
  # The xterm comes once the window manager has taken the screen: a window mapped while openbox
  # is still starting may stay unmapped.
  for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    alive "$(cat "$dir/openbox.pid")" || fail "openbox did not start"
    sleep 0.1
  done
  # What is typed into the xterm reaches cat line by line, and so the file: a test can see that
  # its keys arrived where the user's typing goes.
  : >"$dir/typed"
  setsid xterm -T "$title" -geometry 80x24+10+10 -e sh -c 'exec cat >"$1"' sh "$dir/typed" \
    </dev/null >"$dir/xterm.log" 2>&1 &
  echo $! >"$dir/xterm.pid"

  local wid
  wid=$(timeout 20 xdotool search --sync --onlyvisible --name "^$title\$" 2>/dev/null | head -n1)
  [[ -n $wid ]] || fail "the xterm did not appear"
  # openbox focuses a new window by itself; activate it all the same, so that the focus is
  # known to be on the xterm (and not on the root) whatever the window manager's timing.
  for _ in $(seq 50); do
    xdotool windowactivate --sync "$wid" >/dev/null 2>&1
    [[ $(xdotool getwindowfocus 2>/dev/null) == "$wid" ]] && break
    sleep 0.1
  done
  [[ $(xdotool getwindowfocus 2>/dev/null) == "$wid" ]] || fail "the xterm did not take the focus"
  cat >"$dir/env" <<ENV
DISPLAY=$display
VERBAT_X11_XTERM=$wid
VERBAT_X11_TYPED=$dir/typed
ENV
}

case $cmd in
  start) start ;;
  stop) stop ;;
  status) answers ;;
  *) echo "usage: $0 start|stop|status DIR" >&2; exit 2 ;;
esac
