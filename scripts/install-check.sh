#!/usr/bin/env bash
# Checks the installed program, as a user gets it, from a build tree that is already built:
#
#  1. `cmake --install` into a staging folder (DESTDIR, prefix /opt/verbat), the tree then moved
#     to another folder (with a space in its name): the layout, the program's relative run path.
#  2. The desktop entry and the AppStream metadata validate; the icon is there in every size.
#  3. The command line without a display: --help, --version, a wrong option.
#  4. On a private X11 desktop (scripts/x11-session.sh), with the virtual sound device and a
#     fresh runtime folder, home and current folder: `verbat --play FILE` starts, loads the
#     keyboard-watch library from the moved tree, plays FILE and shows no message; the equalizer
#     window shows its pictures; Help opens the installed help page. A second `verbat` without a
#     file shows its message and ends with 1; a second `verbat --play FILE` (relative name, from
#     another folder) ends with 0, and the first one plays FILE and is the active window. File >
#     Exit ends the first with 0, its settings naming FILE, its socket gone.
#  5. The Debian package (cpack): its control data and contents, and `apt-get install
#     --simulate` on this machine.
#  6. A clean Debian system made by debootstrap in the work folder: `apt-get install
#     ./verbat_*.deb` there, then the installed program runs on the X display (--version, --help,
#     --play FILE as in 4). VERBAT_CLEAN_SYSTEM=0 leaves this step out.
#
#   scripts/install-check.sh [BUILD_DIR]      (default build; run by scripts/test.sh)
#
# A step that cannot run here (a tool missing, not root for debootstrap, no package archive)
# says why and is skipped; under CI (CI=true) that is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
[[ -x $build/app/verbat ]] || { echo "install-check: no program in $build (build it first)" >&2; exit 1; }
app_id=$(sed -n 's/^VERBAT_APP_ID:STRING=//p' "$build/CMakeCache.txt")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

work=$(mktemp -d "$build/install-check.XXXXXX")
x11=$work/x11
clean=$work/clean
pids=()
# Ends what a step started (its processes, the X11 desktop); each step runs in a subshell of its
# own with this as its exit trap.
end_started() {
  set +e
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  scripts/x11-session.sh stop "$x11"
}
cleanup() {
  set +e
  scripts/x11-session.sh stop "$x11"
  if [[ -d $clean ]] && mountpoint -q "$clean/proc"; then umount "$clean/proc"; fi
  # Never across a mount point left behind (--one-file-system): the clean system's files only.
  if [[ -d $clean ]] && mountpoint -q "$clean/proc"; then
    echo "install-check: $clean/proc is still mounted; $work is left in place" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT

step() { echo "== install-check: $*"; }
fail() { echo "install-check: FAILED: $*" >&2; exit 1; }
skip() {  # reason: skipped here, a failure under CI
  if [[ ${CI:-} == true ]]; then fail "$* (required under CI)"; fi
  echo "install-check: skipped: $*"
}
need() {
  local tool
  for tool in "$@"; do command -v "$tool" >/dev/null || return 1; done
}
# Waits (up to $1 tenths of a second) until the command that follows succeeds.
wait_for() {
  local tenths=$1; shift
  for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
  "$@"
}
has_open() {  # pid, file: whether the process holds the file open
  local fd
  for fd in "/proc/$1/fd"/*; do [[ $(readlink "$fd" 2>/dev/null) == "$2" ]] && return 0; done
  return 1
}
has_closed() { ! has_open "$@"; }
visible_windows() { xdotool search --onlyvisible --pid "$1" 2>/dev/null || true; }
window_count_is() { [[ $(visible_windows "$1" | wc -l) -eq $2 ]]; }

need sox readelf || fail "sox and readelf are needed"
mkdir -p "$work/media" "$work/empty"
sox -n -r 22050 -b 16 -c 1 "$work/media/first.wav" synth 3 sine 440 vol 0.3
sox -n -r 22050 -b 16 -c 1 "$work/media/second.wav" synth 30 sine 660 vol 0.3

# --- 1. install, move, layout -------------------------------------------------------------------
step "cmake --install (DESTDIR, prefix /opt/verbat), then the tree moved"
DESTDIR=$work/stage cmake --install "$build" --prefix /opt/verbat >/dev/null
prefix="$work/moved tree"
mv "$work/stage/opt/verbat" "$prefix"
rm -rf "$work/stage"
bin=$prefix/bin/verbat
for file in bin/verbat lib/verbat/KbdWatch.so share/verbat/VerbatHelp.html \
  share/verbat/EqPanel.jpg share/verbat/close1.jpg share/verbat/close2.jpg \
  share/verbat/close3.jpg "share/applications/$app_id.desktop" \
  "share/metainfo/$app_id.metainfo.xml" "share/icons/hicolor/48x48/apps/$app_id.png" \
  "share/icons/hicolor/256x256/apps/$app_id.png" "share/icons/hicolor/scalable/apps/$app_id.svg"; do
  [[ -f $prefix/$file ]] || fail "not installed: $file"
done
runpath=$(readelf -d "$bin" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[[ $runpath == '$ORIGIN/../lib/verbat' ]] || fail "the program's run path is '$runpath'"
echo "installed files: $(cd "$prefix" && find . -type f | wc -l), run path $runpath"

# --- 2. desktop entry, AppStream -----------------------------------------------------------------
step "desktop entry and AppStream metadata"
if need desktop-file-validate appstreamcli; then
  desktop-file-validate "$prefix/share/applications/$app_id.desktop" || fail "desktop entry"
  appstreamcli validate --no-net "$prefix/share/metainfo/$app_id.metainfo.xml" ||
    fail "AppStream metadata"
  entry=$prefix/share/applications/$app_id.desktop
  grep -qx "Icon=$app_id" "$entry" || fail "the entry's icon is not $app_id"
  grep -qx "Exec=verbat %f" "$entry" || fail "the entry does not start verbat with a file"
  for type in audio/wav audio/x-wav audio/mpeg audio/ogg audio/x-vorbis+ogg; do
    grep -q "^MimeType=.*$type;" "$entry" || fail "the entry does not open $type"
  done
  if ! grep -q '^Name\[ja\]=' "$entry" || ! grep -q '^Comment\[ja\]=' "$entry"; then
    fail "no Japanese name or comment"
  fi
else
  skip "desktop-file-validate or appstreamcli is not installed"
fi
for size in 48 256; do
  got=$(identify -format '%w %h' "$prefix/share/icons/hicolor/${size}x${size}/apps/$app_id.png")
  [[ $got == "$size $size" ]] || fail "the ${size}x$size icon is $got"
done

# --- 3. command line without a display ------------------------------------------------------------
step "command line"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$bin" --help) || fail "--help did not exit 0"
grep -q '使い方: verbat \[--play\] \[ファイル\]' <<<"$out" || fail "--help printed: $out"
out=$(env -u DISPLAY "$bin" --version) || fail "--version did not exit 0"
[[ $out == "Verbat $version" ]] || fail "--version printed '$out'"
status=0
err=$(env -u DISPLAY "$bin" --no-such-option 2>&1 >/dev/null) || status=$?
[[ $status -eq 2 && $err == *不明なオプション* ]] || fail "a wrong option: status $status, '$err'"

# --- 4. the moved program on a private X11 desktop -------------------------------------------------
run_desktop_checks() {
  trap end_started EXIT
  scripts/x11-session.sh start "$x11" >/dev/null || fail "no X11 test desktop"
  set -a
  # shellcheck disable=SC1091
  . "$x11/env"
  set +a
  # A fresh user's folders; the desktop's opener replaced by one that notes what it was given.
  mkdir -p "$work/runtime" "$work/home" "$work/opener"
  chmod 700 "$work/runtime"
  cat >"$work/opener/xdg-open" <<EOF
#!/bin/sh
printf '%s\n' "\$@" >>"$work/opened"
EOF
  chmod +x "$work/opener/xdg-open"
  export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
  export VERBAT_AUDIO=virtual QT_QPA_PLATFORM=xcb PATH=$work/opener:$PATH

  step "first start: verbat --play FILE"
  (cd "$work/empty" && exec "$bin" --play "$work/media/first.wav") >"$work/first.log" 2>&1 &
  local first=$!
  pids+=("$first")
  local wid
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$first" --name '^Verbat$' | head -n1) ||
    true
  [[ -n $wid ]] || { cat "$work/first.log"; fail "the window did not appear"; }
  wait_for 50 has_open "$first" "$work/media/first.wav" || fail "FILE is not playing"
  grep -qF "$prefix/lib/verbat/KbdWatch.so" "/proc/$first/maps" ||
    fail "the keyboard-watch library was not loaded from $prefix/lib/verbat"
  window_count_is "$first" 1 || fail "a message showed at start-up ($(visible_windows "$first" | wc -l) windows)"

  step "equalizer window and help page"
  xdotool windowactivate --sync "$wid" key --clearmodifiers alt+o
  sleep 0.3
  xdotool key e
  local eq=""
  for _ in $(seq 50); do
    for w in $(visible_windows "$first"); do
      eval "$(xdotool getwindowgeometry --shell "$w")"
      [[ $WIDTH -eq 413 && $HEIGHT -eq 152 ]] && eq=$w
    done
    [[ -n $eq ]] && break
    sleep 0.1
  done
  [[ -n $eq ]] || fail "the equalizer window did not show"
  sleep 0.5
  window_count_is "$first" 2 || fail "a message showed with the equalizer window"
  import -window "$eq" "$work/equalizer.png"
  local r g b
  read -r r g b <<<"$(convert "$work/equalizer.png" -format '%[fx:int(255*p{200,8}.r)] %[fx:int(255*p{200,8}.g)] %[fx:int(255*p{200,8}.b)]' info:)"
  (( r < 90 && g < 90 && b < 100 )) || fail "the equalizer's background picture is missing ($r $g $b)"
  xdotool windowactivate --sync "$wid" key --clearmodifiers alt+h
  sleep 0.3
  xdotool key c
  wait_for 50 test -s "$work/opened" || fail "Help opened nothing"
  # The opener is given the page as a path or as a file URL; either names the installed page.
  local page="$prefix/share/verbat/VerbatHelp.html" opened
  opened=$(cat "$work/opened")
  [[ $opened == "$page" || $opened == "file://${page// /%20}" ]] ||
    fail "Help opened '$opened', not $page"

  step "second start without a file: the message, status 1"
  "$bin" >"$work/second.log" 2>&1 &
  local second=$!
  pids+=("$second")
  local box
  box=$(timeout 20 xdotool search --sync --onlyvisible --pid "$second" | head -n1) || true
  [[ -n $box ]] || { cat "$work/second.log"; fail "the second start showed no message"; }
  xdotool windowactivate --sync "$box" key Return
  local status=0
  wait "$second" || status=$?
  [[ $status -eq 1 ]] || fail "the second start ended with $status"

  step "second start with a file: handed over, status 0"
  wait_for 100 has_closed "$first" "$work/media/first.wav" || fail "FILE did not end"
  xdotool windowactivate --sync "$VERBAT_X11_XTERM"
  status=0
  (cd "$work/media" && timeout 20 "$bin" --play second.wav) >"$work/third.log" 2>&1 || status=$?
  [[ $status -eq 0 ]] || { cat "$work/third.log"; fail "verbat --play FILE beside a running one ended with $status"; }
  wait_for 50 has_open "$first" "$work/media/second.wav" || fail "the running Verbat does not play the file handed over"
  wait_for 30 bash -c "[[ \$(xdotool getactivewindow) == $wid ]]" ||
    fail "the running Verbat did not come forward"
  window_count_is "$first" 2 || fail "a message showed for the file handed over"

  step "File > Exit"
  xdotool windowactivate --sync "$wid" key --clearmodifiers alt+f
  sleep 0.3
  xdotool key x
  status=0
  for _ in $(seq 100); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
  wait "$first" || status=$?
  [[ $status -eq 0 ]] || { cat "$work/first.log"; fail "the program ended with $status"; }
  local ini
  ini=$(find "$prefix" "$work/home" -name Verbat.ini | head -n1)
  grep -qxF "AudioFileName=$work/media/second.wav" "$ini" ||
    fail "the settings do not name the file handed over: $(grep AudioFileName "$ini")"
  [[ ! -e $work/runtime/Verbat.socket ]] || fail "the socket outlived the program"
  [[ -s $work/first.log ]] && { echo "--- the program's standard error:"; cat "$work/first.log"; }
  return 0
}
if need Xvfb openbox xterm xdotool xprop import convert; then
  (run_desktop_checks)
else
  skip "the X11 test desktop's tools (Xvfb, openbox, xterm, xdotool, ImageMagick) are not all installed"
fi

# --- 5. the Debian package -------------------------------------------------------------------------
step "Debian package"
deb=""
if need dpkg-shlibdeps dpkg-deb; then
  (cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack"; }
  deb=$(ls "$work/package"/verbat_*.deb)
  dpkg-deb --info "$deb"
  depends=$(dpkg-deb -f "$deb" Depends)
  for dep in libqt6widgets6 libasound2 libxcb-record0 libjpeg62-turbo libvorbisfile3 \
    fonts-ipafont-gothic xdg-utils; do
    [[ $depends == *"$dep"* ]] || fail "the package does not depend on $dep"
  done
  dpkg-deb --contents "$deb" | tee "$work/listing"
  awk '{print $6}' "$work/listing" >"$work/contents"
  for file in ./usr/bin/verbat ./usr/lib/verbat/KbdWatch.so ./usr/share/verbat/VerbatHelp.html \
    ./usr/share/verbat/EqPanel.jpg "./usr/share/applications/$app_id.desktop" \
    "./usr/share/metainfo/$app_id.metainfo.xml"; do
    grep -qxF "$file" "$work/contents" || fail "the package lacks $file"
  done
  echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"
  apt-get install --simulate -qq "$deb" >"$work/simulate.log" 2>&1 ||
    { cat "$work/simulate.log"; fail "apt-get install --simulate"; }
else
  skip "dpkg-dev (dpkg-shlibdeps) is not installed"
fi

# --- 6. a clean Debian system ----------------------------------------------------------------------
# The package archive this machine installs from, and the release it runs.
archive_uri() {
  local uri
  uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  [[ -n $uri ]] || uri=$(awk '$1 == "deb" && $2 ~ /^https?:/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  echo "$uri"
}
clean_system_check() {
  trap end_started EXIT
  local suite uri
  # shellcheck disable=SC1091
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  uri=$(archive_uri)
  [[ -n $suite && -n $uri ]] || { skip "no Debian release or package archive found in the apt configuration"; return 0; }
  step "clean system: debootstrap $suite (minimal)"
  local start=$SECONDS
  eval "$(apt-config shell http_proxy Acquire::http::Proxy)"
  [[ -n ${http_proxy:-} ]] && export http_proxy
  debootstrap --variant=minbase "$suite" "$clean" "$uri" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log"; fail "debootstrap"; }
  mount -t proc proc "$clean/proc"
  echo "made in $((SECONDS - start)) s"

  step "clean system: apt-get install ./$(basename "$deb")"
  start=$SECONDS
  cp "$deb" "$clean/tmp/"
  chroot "$clean" apt-get update -qq >"$work/clean-apt.log" 2>&1 ||
    { cat "$work/clean-apt.log"; fail "apt-get update in the clean system"; }
  (cd "$clean/tmp" && DEBIAN_FRONTEND=noninteractive chroot "$clean" sh -c \
    "cd /tmp && apt-get install -y -qq --no-install-recommends ./$(basename "$deb")") \
    >>"$work/clean-apt.log" 2>&1 || { tail -30 "$work/clean-apt.log"; fail "apt-get install in the clean system"; }
  echo "installed in $((SECONDS - start)) s, $(chroot "$clean" dpkg-query -W -f='${binary:Package}\n' | wc -l) packages in the system"

  step "clean system: the installed program"
  local out
  out=$(chroot "$clean" /usr/bin/env -i PATH=/usr/bin:/bin verbat --version) || fail "--version in the clean system"
  [[ $out == "Verbat $version" ]] || fail "--version printed '$out' in the clean system"
  chroot "$clean" /usr/bin/env -i PATH=/usr/bin:/bin verbat --help | grep -q '使い方' ||
    fail "--help in the clean system"
  # The X server's abstract socket reaches into the chroot, which shares this network namespace.
  scripts/x11-session.sh start "$x11" >/dev/null || fail "no X11 test desktop"
  local display
  display=$(sed -n 's/^DISPLAY=//p' "$x11/env")
  cp "$work/media/second.wav" "$clean/tmp/tone.wav"
  mkdir -m 700 "$clean/tmp/runtime"
  chroot "$clean" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root DISPLAY="$display" \
    XDG_RUNTIME_DIR=/tmp/runtime VERBAT_AUDIO=virtual verbat --play /tmp/tone.wav \
    >"$work/clean-run.log" 2>&1 &
  local pid=$!
  pids+=("$pid")
  local wid
  wid=$(DISPLAY=$display timeout 20 xdotool search --sync --onlyvisible --pid "$pid" --name '^Verbat$' | head -n1) || true
  [[ -n $wid ]] || { cat "$work/clean-run.log"; fail "no window from the program in the clean system"; }
  wait_for 50 has_open "$pid" "$clean/tmp/tone.wav" || fail "the program in the clean system does not play"
  grep -qF "$clean/usr/lib/verbat/KbdWatch.so" "/proc/$pid/maps" ||
    fail "the program in the clean system did not load its keyboard-watch library"
  sleep 1
  [[ $(DISPLAY=$display xdotool search --onlyvisible --pid "$pid" | wc -l) -eq 1 ]] ||
    fail "a message showed in the clean system"
  DISPLAY=$display import -window "$wid" "$work/clean-window.png"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  echo "the program from the package ran in the clean system"
}
if [[ ${VERBAT_CLEAN_SYSTEM:-1} == 0 ]]; then
  echo "install-check: the clean-system install is left out (VERBAT_CLEAN_SYSTEM=0)"
elif [[ -z $deb ]]; then
  skip "no package for the clean-system install"
elif [[ $(id -u) -ne 0 ]]; then
  skip "the clean-system install needs root (debootstrap, chroot)"
elif ! need debootstrap chroot Xvfb xdotool; then
  skip "debootstrap or the X11 tools are not installed"
else
  (clean_system_check)
fi
step "passed"
