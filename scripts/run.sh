#!/usr/bin/env bash
# Installs what is needed, builds, and starts the program.
#
#   scripts/run.sh [FILE]              starts Verbat on this desktop; FILE (WAV, MP3, Ogg Vorbis) is loaded at start
#   scripts/run.sh --headless [FILE]   no display needed: runs Verbat on a private virtual display
#                                      (Xvfb) with the virtual sound device, plays FILE (or a
#                                      generated recording) for a few seconds and saves a picture
#                                      of the window to build/headless-demo.png
#
# VERBAT_AUDIO picks the sound backend (alsa by default; virtual where there is no sound server).
set -euo pipefail
cd "$(dirname "$0")/.."

headless=0
if [[ "${1:-}" == "--headless" ]]; then
  headless=1
  shift
fi
if [[ $# -gt 1 ]]; then
  echo "usage: $0 [--headless] [FILE]" >&2
  exit 2
fi
file=${1:-}

if [[ $headless -eq 0 && -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "画面（ディスプレイ）が見つからないため Verbat のウィンドウを開けません。" >&2
  echo "No display found: the window cannot be shown here." >&2
  echo "画面のない環境では、仮想画面と仮想サウンドデバイスで動かす次のデモを使えます:" >&2
  echo "  $0 --headless [FILE]" >&2
  exit 1
fi

scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target verbat -j"$(nproc)"

if [[ $headless -eq 0 ]]; then
  if [[ -n "$file" ]]; then
    exec build/app/verbat "$file"
  fi
  exec build/app/verbat
fi

if [[ -z "$file" ]]; then
  mkdir -p build/headless-demo
  file="build/headless-demo/デモ録音_ファイル名が長いと枠の中を流れて表示されます.wav"
  sox -n -r 22050 -b 16 -c 1 "$file" synth 30 sine 440 vol 0.2
fi
VERBAT_BIN=build/app/verbat tools/screenshot.sh "$file" build/headless-demo.png
echo "ウィンドウの画像を build/headless-demo.png に保存しました。"
