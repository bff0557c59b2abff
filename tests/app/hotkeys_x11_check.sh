#!/usr/bin/env bash
# The hot keys end to end: the real program with its keyboard-watch library on a private X11
# desktop (Xvfb, openbox, an xterm that holds the focus), keys typed with xdotool while the user
# "types in the xterm", playback on the virtual sound card. What played is read from the
# program's own settings file after it closed ("Counter", with no step back on stop).
#
#   hotkeys_x11_check.sh SOURCE_DIR PROGRAM_DIR WORK_DIR
#
# Exit 0 passed, 1 failed, 77 skipped (a tool is missing; under CI=true that fails instead).
set -uo pipefail
src=$1
program_dir=$2
work=$3

skip() {
  if [[ ${CI:-} == true ]]; then
    echo "FAIL (CI): $*" >&2
    exit 1
  fi
  echo "SKIP: $*" >&2
  exit 77
}
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok   $what"
  else
    echo "FAIL $what" >&2
    failures=$((failures + 1))
  fi
}

for tool in Xvfb openbox xterm xdotool wmctrl sox; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

rm -rf "$work"
mkdir -p "$work/bin" "$work/run"
chmod 700 "$work/run"
# The program as it is installed beside its library, so that its settings file lands here.
cp "$program_dir/verbat" "$program_dir/KbdWatch.so" "$work/bin/" || exit 1
cp "$program_dir"/*.jpg "$program_dir/VerbatHelp.html" "$work/bin/" 2>/dev/null
sox -n -r 11025 -c 1 -b 16 "$work/voice.wav" synth 60 sine 440 vol 0.2 || exit 1

session=$work/x11
"$src/scripts/x11-session.sh" start "$session" >"$work/session.log" 2>&1 ||
  { cat "$work/session.log" >&2; skip "no X11 test desktop could be started"; }
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
  "$src/scripts/x11-session.sh" stop "$session" >/dev/null 2>&1
}
trap cleanup EXIT
set -a
# shellcheck disable=SC1091
. "$session/env"
set +a
export VERBAT_AUDIO=virtual XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config

ini=$work/bin/Verbat.ini
write_ini() {  # write_ini NONLOCK
  cat >"$ini" <<EOF
[WaveFile]
AudioFileName=$work/voice.wav
Counter=0
RevSec=0
NonLockMode=$1
[Other]
DspAlert=0
[KeyMap]
01=008,032,01
11=008,075,11
EOF
}

pid=
window=
start_program() {
  "$work/bin/verbat" >>"$work/verbat.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  window=$(timeout 20 xdotool search --all --sync --onlyvisible --pid "$pid" --name '^Verbat$' | head -n1)
  [[ -n $window ]] || { echo "the program's window did not appear" >&2; return 1; }
  # The user goes back to typing in the other program.
  xdotool windowactivate --sync "$VERBAT_X11_XTERM" 2>/dev/null
  sleep 0.5
}
close_program() {
  wmctrl -i -c "$(printf '0x%08x' "$window")"
  local status=0
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  wait "$pid" || status=$?
  return "$status"
}
counter() { sed -n 's/^Counter=//p' "$ini" | head -n1; }
between() { [[ $1 =~ ^[0-9]+$ && $1 -ge $2 && $1 -le $3 ]]; }

# Space alone is not Ctrl+Space: nothing plays.
write_ini 0
start_program || exit 1
xdotool key space
sleep 2
check "the program closes with status 0" close_program
check "Space alone plays nothing (Counter $(counter))" between "$(counter)" 0 0

# Ctrl+Space typed into the xterm starts playback; pressed again it stops.
start_program || exit 1
xdotool key ctrl+space
sleep 2.6
xdotool key ctrl+space
sleep 1
xdotool type "typed while playing"
xdotool key Return
sleep 0.5
check "the keys still reach the program the user types in" \
  grep -q "typed while playing" "$VERBAT_X11_TYPED"
close_program
check "Ctrl+Space played about 2 s and stopped (Counter $(counter))" between "$(counter)" 2 3

# Non-lock mode: playback lasts as long as the key is held; its auto-repeat changes nothing.
write_ini 1
start_program || exit 1
xdotool keydown ctrl+space
sleep 2.6
xdotool keyup ctrl+space
sleep 1
close_program
check "held for 2.6 s it played 2 s (Counter $(counter))" between "$(counter)" 2 3

# Counter entry: the dialog comes over the xterm, and the focus goes back there afterwards.
write_ini 0
start_program || exit 1
xdotool key ctrl+k
dialog=$(timeout 10 xdotool search --all --sync --onlyvisible --pid "$pid" --name 'ｶｳﾝﾀ指定' | head -n1)
check "the counter dialog comes up" test -n "$dialog"
sleep 0.5
check "the program has the focus for the entry" \
  test "$(xdotool getactivewindow getwindowpid 2>/dev/null)" = "$pid"
xdotool type --delay 50 000005
sleep 1
check "the focus went back to the xterm" test "$(xdotool getactivewindow)" = "$VERBAT_X11_XTERM"

# A second start while one runs: the message, and exit code 1.
"$work/bin/verbat" >>"$work/verbat.log" 2>&1 &
second=$!
pids+=("$second")
box=$(timeout 10 xdotool search --all --sync --onlyvisible --pid "$second" --name 'Verbat' | head -n1)
check "a second start shows its message" test -n "$box"
# Enter answers the box once it has the focus (the window manager may take a moment to give it).
for _ in $(seq 10); do
  [[ -n $box ]] && kill -0 "$second" 2>/dev/null || break
  [[ $(xdotool getactivewindow 2>/dev/null) == "$box" ]] || xdotool windowactivate "$box" 2>/dev/null
  sleep 0.3
  [[ $(xdotool getactivewindow 2>/dev/null) == "$box" ]] && xdotool key Return
  for _ in $(seq 10); do kill -0 "$second" 2>/dev/null || break; sleep 0.1; done
done
kill -0 "$second" 2>/dev/null && kill -9 "$second"
status=0
wait "$second" || status=$?
check "a second start ends with exit code 1 (got $status)" test "$status" -eq 1

close_program
check "the entered time is the counter (Counter $(counter))" between "$(counter)" 5 5

# Asked to end by the system (a logout sends SIGTERM): it ends as after a close, settings written.
write_ini 0
start_program || exit 1
xdotool key ctrl+space
sleep 2.6
kill -TERM "$pid"
status=0
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
wait "$pid" || status=$?
check "SIGTERM ends the program with status 0 (got $status)" test "$status" -eq 0
check "and its settings are written (Counter $(counter))" between "$(counter)" 2 3

if ((failures > 0)); then
  echo "--- program output:" >&2
  cat "$work/verbat.log" >&2
  exit 1
fi
exit 0
