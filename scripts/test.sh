#!/usr/bin/env bash
# Builds and runs the whole test suite. Installs what it needs first.
#
#   scripts/test.sh               normal build, then address+undefined sanitizers, then the thread
#                                 sanitizer on the tests labelled "threaded" (what CI runs)
#   scripts/test.sh --quick       the normal build only
#   scripts/test.sh --sanitize=address,undefined | --sanitize=thread    one sanitizer build only
#   scripts/test.sh --install     the normal build, then the installation check only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/install-deps.sh

jobs=$(nproc)
mode=all
case "${1:-}" in
  "") ;;
  --quick) mode=quick ;;
  --sanitize=*) mode=${1#--sanitize=} ;;
  --install) mode=install ;;
  *) echo "usage: $0 [--quick | --sanitize=address,undefined | --sanitize=thread | --install]" >&2; exit 2 ;;
esac

# The sound tests play into a private sound server of their own (scripts/sound-server.sh),
# started here and stopped however this script ends, so that no process is left behind.
sound_dir=$(mktemp -d /tmp/verbat-sound-test.XXXXXX)
trap 'scripts/sound-server.sh stop "$sound_dir"' EXIT
if scripts/sound-server.sh start "$sound_dir"; then
  set -a
  # shellcheck disable=SC1091
  . "$sound_dir/env"
  set +a
else
  # The sound tests then say why they skip (or fail, in CI); never a desktop's own server.
  echo "== no test sound server: the ALSA tests will skip (fail when CI=true)" >&2
  unset PULSE_SERVER
  export VERBAT_SOUND_ENV=$sound_dir/env
fi

configure_and_build() {  # dir, cmake options...
  local dir=$1; shift
  local start=$SECONDS
  cmake -S "$root" -B "$dir" -G Ninja -DVERBAT_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== built $dir in $((SECONDS - start)) s"
}

# A test that hangs is cut off after two minutes (a test needing longer sets its own TIMEOUT),
# so that one hang cannot use up the whole run's time.
# The shared sound server's state and its log's last lines: when sound tests fail, whether the
# server is still there tells a fault of the program from a server that went away, and the log
# says why it went.
sound_server_report() {
  [[ -f $sound_dir/pulse.log ]] || return 0
  if scripts/sound-server.sh status "$sound_dir"; then
    echo "== the test sound server still answers"
  else
    echo "== the test sound server no longer answers"
  fi
  echo "== the test sound server's log (last lines):"
  grep -v 'authkey.c\|not intended to be run as root\|D-Bus' "$sound_dir/pulse.log" | tail -20
}

run_ctest() {  # dir, ctest options...
  local dir=$1; shift
  # A server that went away during an earlier stage is started again (in the same folder, so
  # the variables set above still lead to it), so that one loss does not fail every stage.
  if [[ -f $sound_dir/env ]] && ! scripts/sound-server.sh status "$sound_dir"; then
    sound_server_report
    echo "== starting the test sound server again"
    scripts/sound-server.sh start "$sound_dir" || echo "== it did not start again" >&2
  fi
  echo "== ctest in $dir"
  ctest --test-dir "$dir" --output-on-failure --timeout 120 -j"$jobs" "$@" || {
    local status=$?
    sound_server_report
    # The sound tests that ran after the server went away failed for that alone: they run once
    # more on a new server, and the stage passes only if all of them pass then. The report
    # above stays in the log.
    if [[ -f $sound_dir/env ]] && ! scripts/sound-server.sh status "$sound_dir"; then
      echo "== starting the test sound server again; the failed tests run once more"
      scripts/sound-server.sh start "$sound_dir" &&
        ctest --test-dir "$dir" --output-on-failure --timeout 120 --rerun-failed "$@" &&
        return 0
    fi
    return $status
  }
}

normal() {
  configure_and_build build
  run_ctest build
}
asan() {
  configure_and_build build-asan -DVERBAT_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug \
    -DVERBAT_BUILD_BENCH=OFF
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest build-asan -LE no-sanitizer
}
tsan() {
  configure_and_build build-tsan -DVERBAT_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVERBAT_BUILD_BENCH=OFF
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp \
    run_ctest build-tsan -L threaded
}

# The installed program from the normal build: installed and moved, run on a private X11
# desktop, packaged, and the package installed into a clean Debian system
# (scripts/install-check.sh).
install_check() {
  local start=$SECONDS
  scripts/install-check.sh build
  echo "== install check in $((SECONDS - start)) s"
}

case $mode in
  all) normal; install_check; asan; tsan ;;
  install) configure_and_build build; install_check ;;
  quick) normal ;;
  address,undefined | undefined,address) asan ;;
  thread) tsan ;;
  *) echo "unknown sanitizer set: $mode" >&2; exit 2 ;;
esac
echo "== all test runs passed ($mode) in $SECONDS s"
