#!/usr/bin/env bash
# Installs what is needed, builds, and starts the program.
#
# The program's window does not exist yet; until it does, this plays the demonstration of what
# exists: a two-second 440 Hz tone through the sound layer (tools/tone-demo). VERBAT_AUDIO picks
# the sound backend (alsa by default, virtual where there is no sound server).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target tone-demo -j"$(nproc)"
if ! build/tools/tone-demo/tone-demo 440 2; then
  echo "音を再生できませんでした。サウンドサーバーのない環境では VERBAT_AUDIO=virtual scripts/run.sh で実行できます。" >&2
  exit 1
fi
