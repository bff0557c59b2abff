#!/usr/bin/env bash
# The counter entry under a real window manager (openbox on Xvfb): its frame opens at the main
# window's frame corner, the first time and again after it was closed. Exit 77 (skipped) when
# a tool is missing, unless CI=true, where that fails.
set -euo pipefail
script=$1 bin=$2 work=$3
for tool in Xvfb xdotool import convert openbox xprop xwininfo sox; do
  if ! command -v "$tool" >/dev/null; then
    [[ ${CI:-} == true ]] && { echo "$tool is not installed"; exit 1; }
    echo "skipped: $tool is not installed"; exit 77
  fi
done
rm -rf "$work" && mkdir -p "$work"
sox -n -r 22050 -b 16 -c 1 "$work/voice.wav" synth 5 sine 330 vol 0.1
VERBAT_BIN=$bin "$script" --dialog counter "$work/voice.wav" "$work/counter.png" | tee "$work/frames"
main=$(sed -n 's/^frame main //p' "$work/frames")
mapfile -t dialogs < <(sed -n 's/^frame dialog //p' "$work/frames")
[[ -n $main && ${#dialogs[@]} -eq 2 ]] || { echo "the frames were not reported"; exit 1; }
for i in 0 1; do
  [[ ${dialogs[$i]} == "$main" ]] ||
    { echo "showing $((i + 1)): the dialog's frame is at ${dialogs[$i]}, the main window's at $main"; exit 1; }
done
echo "dialog frames check passed (both showings at $main)"
