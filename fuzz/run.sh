#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, address and undefined-behaviour sanitizers) and
# runs one of them, or all of them side by side, for a number of minutes.
#
#   fuzz/run.sh [TARGET|all] [MINUTES] [libFuzzer options...]    TARGET defaults to mpeg,
#                                                                MINUTES to 10
#   fuzz/run.sh list                                             the targets
#
# One target runs as FUZZ_JOBS processes (default: one per core) sharing one corpus; "all" runs
# every target at once, one process each, so that the cores are shared between them. Each run
# ends with a summary line per target (executions, executions per second, edges covered) taken
# from libFuzzer's own final figures, also kept in build-fuzz/logs/.
#
# Seeds: each target's saved inputs in fuzz/corpus-TARGET/ (fuzz/corpus/ for mpeg) and small
# files the target's seed function below makes with the project's tools and the installed
# encoders. New interesting inputs go to build-fuzz/corpus-TARGET/ (kept between runs); a crash
# leaves its input in build-fuzz/artifacts-TARGET/. Add a fixed crasher to the saved inputs so
# that the ctest regression test replays it.
#
# The mpeg target also takes the first kilobytes of the streams in ../shared/testdata/mpeg/ as
# seeds, unless FUZZ_TESTDATA_SEEDS=0: inputs grown from those streams must not be saved into the
# project, so copy into fuzz/corpus/ only what a FUZZ_TESTDATA_SEEDS=0 run found.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
targets=(mpeg settings wav mp3 vorbis workfile)

target=${1:-mpeg}
shift || true
if [[ $target == list ]]; then
  printf '%s\n' "${targets[@]}"
  exit 0
fi
if [[ $target =~ ^[0-9]+$ ]]; then  # the older form: fuzz/run.sh MINUTES, for mpeg
  set -- "$target" "$@"
  target=mpeg
fi
if [[ $target != all && ! " ${targets[*]} " =~ " $target " ]]; then
  echo "fuzz/run.sh: unknown target '$target' (targets: ${targets[*]} all)" >&2
  exit 2
fi
minutes=${1:-10}
shift || true

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Per target: its saved inputs, its input size limit and extra options, and its seed maker
# (writes files into the folder it is given; may do nothing when a tool is missing).
saved_inputs() { [[ $1 == mpeg ]] && echo "$root/fuzz/corpus" || echo "$root/fuzz/corpus-$1"; }

max_len_mpeg=8192
seeds_mpeg() {  # one control byte (the options, see fuzz/mpeg_fuzz_harness.h), then the stream
  local out=$1 own=${FUZZ_TESTDATA_SEEDS:-1} testdata=$root/../shared/testdata/mpeg
  seed() { { printf "\\x$2"; head -c 4096 "$3"; } > "$out/$1"; }
  if [[ -d $testdata && $own != 0 ]]; then
    while IFS= read -r -d '' f; do
      seed "$(basename "$f")" 00 "$f"
      seed "$(basename "$f").half-rate-mono-8bit" 4d "$f"
    done < <(find "$testdata" -type f \( -name '*.mp1' -o -name '*.mp2' -o -name '*.mp3' \
      -o -name '*.bit' \) -print0)
  fi
  if command -v sox >/dev/null && command -v lame >/dev/null; then
    for rate in 8000 22050 44100; do
      sox -n -r $rate -c 2 "$tmp/s$rate.wav" synth 0.3 sine 300-3000 synth 0.1 whitenoise
      lame --quiet -V 5 "$tmp/s$rate.wav" "$tmp/s$rate.mp3" && seed "lame-vbr-$rate" 00 "$tmp/s$rate.mp3"
    done
    if command -v twolame >/dev/null; then
      twolame --quiet -b 64 "$tmp/s22050.wav" "$tmp/l2.mp2" && seed twolame-lsf 00 "$tmp/l2.mp2"
    fi
  fi
}

max_len_settings=2048
options_settings=(-dict="$root/fuzz/settings.dict")
seeds_settings() { :; }  # the saved inputs are the project's own settings files

# The media inputs take whole files; the last byte of each also picks the start second and the
# seek target of its playback (fuzz/input_fuzz_harness.h). Seeds are short files of every layout
# the installed tools write.
max_len_wav=4096
options_wav=(-timeout=30)  # a reader that never ends shows as a timeout, not a stall
seeds_wav() {
  local out=$1
  if command -v sox >/dev/null; then
    sox -n -r 4000 -c 1 -b 8 "$out/u8-mono.wav" synth 0.8 sine 440  # four blocks
    sox -n -r 2000 -c 1 -b 16 "$out/s16-mono.wav" synth 0.8 sine 300
    sox -n -r 8000 -c 2 -b 16 "$out/s16-stereo.wav" synth 0.05 sine 440
    sox -n -r 8000 -c 1 -b 24 "$out/s24-extensible.wav" synth 0.05 sine 440
    sox -n -r 8000 -c 1 -e u-law "$out/ulaw-fact.wav" synth 0.05 sine 440
    sox -n -r 8000 -c 3 -b 16 "$out/three-channels.wav" synth 0.02 sine 440
    sox -n -r 96000 -c 1 -b 16 "$out/rate96k.wav" synth 0.01 sine 440
  fi
  if command -v ffmpeg >/dev/null; then  # a LIST chunk between fmt and data
    ffmpeg -v error -f lavfi -i "sine=f=440:r=8000:d=0.1" -metadata title=Talk -metadata artist=A \
      -c:a pcm_s16le "$out/list-chunk.wav"
  fi
}

max_len_mp3=8192
options_mp3=(-timeout=30)
seeds_mp3() {
  local out=$1
  command -v sox >/dev/null || return 0
  sox -n -r 44100 -c 2 "$tmp/m44.wav" synth 0.2 sine 300-3000 synth 0.1 whitenoise
  sox -n -r 16000 -c 1 "$tmp/m16.wav" synth 0.3 sine 300-3000
  sox -n -r 8000 -c 1 "$tmp/m8.wav" synth 0.4 sine 500
  if command -v lame >/dev/null; then
    lame --quiet -b 128 "$tmp/m44.wav" "$out/cbr-info.mp3"  # an Info frame first
    lame --quiet -t -b 32 "$tmp/m44.wav" "$out/cbr-plain.mp3"
    lame --quiet -b 48 -m m "$tmp/m16.wav" "$out/lsf-info.mp3"
    lame --quiet -b 32 "$tmp/m8.wav" "$out/mpeg25-info.mp3"
    lame --quiet -V 7 "$tmp/m16.wav" "$out/vbr-xing.mp3"
    lame --quiet -t -b 32 -p "$tmp/m16.wav" "$out/crc.mp3"
    lame --quiet -b 16 --tt Talk --ta A --add-id3v2 --id3v2-only "$tmp/m16.wav" "$out/id3v2.mp3"
    lame --quiet -t -b 24 --tt Talk --id3v1-only "$tmp/m16.wav" "$out/id3v1.mp3"
  fi
  if command -v twolame >/dev/null; then
    twolame --quiet -b 32 "$tmp/m16.wav" "$out/layer2-lsf.mp2"
  fi
}

max_len_vorbis=8192
options_vorbis=(-timeout=30)
seeds_vorbis() {  # single files, and chained ones whose links have their own serial numbers
  local out=$1
  command -v sox >/dev/null && command -v oggenc >/dev/null || return 0
  sox -n -r 8000 -c 1 -b 16 "$tmp/v8.wav" synth 1.2 sine 440  # five blocks
  sox -n -r 11025 -c 1 -b 16 "$tmp/v11.wav" synth 0.2 sine 600
  sox -n -r 22050 -c 2 -b 16 "$tmp/v22.wav" synth 0.2 sine 300-3000
  oggenc -Q -q -1 -s 1 -c TITLE=Talk "$tmp/v8.wav" -o "$out/mono8k.ogg"
  oggenc -Q -q -1 -s 2 "$tmp/v8.wav" -o "$tmp/v8b.ogg"
  oggenc -Q -q -1 -s 3 "$tmp/v11.wav" -o "$tmp/v11.ogg"
  oggenc -Q -q 0 -s 4 "$tmp/v22.wav" -o "$out/stereo22k.ogg"
  cat "$out/mono8k.ogg" "$tmp/v8b.ogg" > "$out/chained-same-format.ogg"
  cat "$out/mono8k.ogg" "$tmp/v11.ogg" > "$out/chained-other-rate.ogg"

}

max_len_workfile=4096
seeds_workfile() {  # recordings as fuzz/workfile_fuzz_harness.h reads them: flags, format, appends
  local out=$1
  le() {  # value, bytes: little-endian
    local i
    for ((i = 0; i < $2; i++)); do printf "\\x$(printf %02x $((($1 >> (8 * i)) & 255)))"; done
  }
  # name flags channels rate bits, then: limit=N (units of 16 bytes), raw=TAG (the header's
  # other fields as given: that tag, byte rate 0, block align 0), bytes=N (N input bytes), or
  # CONTROL:LENGTH (control 128 and up: LENGTH bytes of the harness's pattern)
  seed() {
    local name=$1 flags=$2 channels=$3 rate=$4 bits=$5 a i
    shift 5
    {
      le "$flags" 1; le "$channels" 2; le "$rate" 4; le "$bits" 2
      for a in "$@"; do
        case $a in
          limit=*) le "${a#limit=}" 2 ;;
          raw=*) le "${a#raw=}" 2; le 0 4; le 0 2 ;;
          bytes=*) le 0 1; le "${a#bytes=}" 2
                   for ((i = 0; i < ${a#bytes=}; i++)); do le $(((i * 37 + 11) & 255)) 1; done ;;
          *) le "${a%:*}" 1; le "${a#*:}" 2 ;;
        esac
      done
    } > "$out/$name"
  }
  local c r b
  for c in 1 2; do for b in 8 16; do for r in 8000 11025 22050 44100; do
    # the recorder's formats, a quarter and an eighth of a second and a few bytes; the 8-bit
    # ones are played back (flag 16)
    seed "rec-$c-$r-$b" $((b == 8 ? 16 : 0)) $c $r $b 128:$((r * c * b / 32)) \
      129:$((r * c * b / 64)) bytes=16
  done; done; done
  seed partial-frames 16 2 22050 16 bytes=3 bytes=1 bytes=5 131:999
  seed start-second 28 1 8000 8 130:20000
  seed size-limit 18 2 11025 16 limit=200 132:4000 133:400
  seed size-limit-partial 2 2 8000 16 limit=64 bytes=3 134:3000 bytes=7
  seed odd-fields 1 3 7 12 raw=1 bytes=9 135:100
  seed zero-format 1 0 0 0 raw=0 bytes=4
}

# Prepares a target's folders and seeds; prints the libFuzzer command line, one word per line.
command_for() {  # target, minutes, jobs, extra options...
  local t=$1 min=$2 jobs=$3
  shift 3
  local corpus=$build/corpus-$t seeds=$build/seeds-$t artifacts=$build/artifacts-$t
  if [[ $t == mpeg && ${FUZZ_TESTDATA_SEEDS:-1} == 0 ]]; then corpus=$build/corpus-mpeg-own; fi
  rm -rf "$seeds"
  mkdir -p "$corpus" "$seeds" "$artifacts" "$build/logs"
  "seeds_$t" "$seeds"
  local len_var=max_len_$t opts_var=options_$t[@]
  printf '%s\n' "$build/fuzz/${t}_fuzzer" -max_total_time=$((min * 60)) -max_len="${!len_var}" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" ${!opts_var+"${!opts_var}"}
  [[ $jobs -gt 1 ]] && printf '%s\n' -fork="$jobs" -ignore_crashes=0
  printf '%s\n' "$@" "$corpus" "$seeds" "$(saved_inputs "$t")"
}

# libFuzzer's final figures of a log, as one line.
summary() {  # target, log
  local execs rate edges
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$2" | grep -o '[0-9]*$' | tail -1)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$2" | grep -o '[0-9]*$' | tail -1)
  edges=$(grep -o 'cov: [0-9]*' "$2" | grep -o '[0-9]*$' | sort -n | tail -1)
  printf '%-10s executions %12s  per second %7s  edges %6s  log %s\n' "$1" "${execs:-?}" \
    "${rate:-?}" "${edges:-?}" "$2"
}

selected=("$target")
[[ $target == all ]] && selected=("${targets[@]}")

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DVERBAT_BUILD_FUZZ=ON \
  -DVERBAT_BUILD_TESTS=OFF -DVERBAT_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "${selected[@]/%/_fuzzer}"

jobs=${FUZZ_JOBS:-$(nproc)}
[[ $target == all ]] && jobs=1
stamp=$(date +%Y%m%d-%H%M%S)
pids=()
logs=()
status=0
for t in "${selected[@]}"; do
  mapfile -t cmd < <(command_for "$t" "$minutes" "$jobs" "$@")
  log=$build/logs/$t-$stamp.log
  echo "== $t: ${cmd[*]}" | tee "$log"
  if [[ $target == all ]]; then
    nice -n 10 "${cmd[@]}" >>"$log" 2>&1 &
    pids+=($!)
  else
    nice -n 10 "${cmd[@]}" 2>&1 | tee -a "$log" || status=1
  fi
  logs+=("$log")
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
echo "== summary"
for i in "${!selected[@]}"; do summary "${selected[$i]}" "${logs[$i]}"; done
exit $status
