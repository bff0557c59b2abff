#!/usr/bin/env bash
# Builds the MPEG decoder's fuzz target with clang (libFuzzer, address and undefined-behaviour
# sanitizers) and runs it for a number of minutes.
#
#   fuzz/run.sh [MINUTES] [libFuzzer options...]     MINUTES defaults to 10
#
# Seeds: the saved regression inputs in fuzz/corpus/, the first few kilobytes of every stream in
# ../shared/testdata/mpeg/ when that folder is there (not with FUZZ_TESTDATA_SEEDS=0: inputs
# grown from those streams must not be saved into the project), and small files made with lame
# and twolame when they are installed. New interesting inputs go to build-fuzz/corpus/ (kept between
# runs); a crash leaves its input in build-fuzz/artifacts/. Add a fixed crasher to fuzz/corpus/
# so that the ctest regression test replays it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-10}
shift || true
build=$root/build-fuzz

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DVERBAT_BUILD_FUZZ=ON \
  -DVERBAT_BUILD_TESTS=OFF -DVERBAT_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# FUZZ_TARGET=settings fuzzes the settings file's reading instead; its seeds are the project's
# own files in fuzz/corpus-settings/.
if [[ ${FUZZ_TARGET:-mpeg} == settings ]]; then
  cmake --build "$build" --target settings_fuzzer
  mkdir -p "$build/corpus-settings" "$build/artifacts-settings"
  exec nice "$build/fuzz/settings_fuzzer" -max_total_time=$((minutes * 60)) -max_len=2048 \
    -print_final_stats=1 -dict="$root/fuzz/settings.dict" \
    -artifact_prefix="$build/artifacts-settings/" "$@" \
    "$build/corpus-settings" "$root/fuzz/corpus-settings"
fi
cmake --build "$build" --target mpeg_fuzzer

corpus=$build/corpus
seeds=$build/seeds
if [[ ${FUZZ_TESTDATA_SEEDS:-1} == 0 ]]; then
  corpus=$build/corpus-own
  seeds=$build/seeds-own
  rm -rf "$seeds"
fi
artifacts=$build/artifacts
mkdir -p "$corpus" "$seeds" "$artifacts"

# Seed files: one control byte (the options, see fuzz/mpeg_fuzz_harness.h), then the stream.
seed() {  # seed NAME CONTROL-BYTE FILE
  { printf "\\x$2"; head -c 4096 "$3"; } > "$seeds/$1"
}
testdata=$root/../shared/testdata/mpeg
if [[ -d $testdata && ${FUZZ_TESTDATA_SEEDS:-1} != 0 ]]; then
  while IFS= read -r -d '' f; do
    name=$(basename "$f")
    seed "$name" 00 "$f"
    seed "$name.half-rate-mono-8bit" 4d "$f"
  done < <(find "$testdata" -type f \( -name '*.mp1' -o -name '*.mp2' -o -name '*.mp3' -o -name '*.bit' \) -print0)
fi
if command -v sox >/dev/null && command -v lame >/dev/null; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  for rate in 8000 22050 44100; do
    sox -n -r $rate -c 2 "$tmp/s$rate.wav" synth 0.3 sine 300-3000 synth 0.1 whitenoise
    lame --quiet -V 5 "$tmp/s$rate.wav" "$tmp/s$rate.mp3" && seed "lame-vbr-$rate" 00 "$tmp/s$rate.mp3"
  done
  if command -v twolame >/dev/null; then
    twolame --quiet -b 64 "$tmp/s22050.wav" "$tmp/l2.mp2" && seed twolame-lsf 00 "$tmp/l2.mp2"
  fi
fi

exec nice "$build/fuzz/mpeg_fuzzer" -max_total_time=$((minutes * 60)) -max_len=8192 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$corpus" "$seeds" "$root/fuzz/corpus"
