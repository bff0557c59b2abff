#!/usr/bin/env bash
# Runs tools/screenshot.sh on a generated recording and checks the picture: the main window's
# width, and that the panel is there in its colour. Exit 77 (skipped) when a tool is missing.
set -euo pipefail
script=$1 bin=$2 work=$3
for tool in Xvfb xdotool import identify sox; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
rm -rf "$work" && mkdir -p "$work"
wav="$work/面談の録音_ファイル名が長くて枠に収まらない場合は流れて表示されます.wav"
sox -n -r 22050 -b 16 -c 1 "$wav" synth 20 sine 330 vol 0.1
VERBAT_BIN=$bin VERBAT_SCREENSHOT_PLAY=2 "$script" "$wav" "$work/shot.png"
size=$(identify -format '%w %h' "$work/shot.png")
read -r width height <<<"$size"
[[ $width -eq 339 ]] || { echo "window is $width wide, not 339"; exit 1; }
[[ $height -gt 118 ]] || { echo "window is $height high: no room for menu and client"; exit 1; }
# A pixel inside the information panel, below the menu bar (client y 50).
panel=$(convert "$work/shot.png" -format "%[pixel:p{200,$((height - 118 + 50))}]" info:)
case $panel in
  *211,215,196*|*D3D7C4*|*d3d7c4*) ;;
  *) echo "panel colour is $panel"; exit 1 ;;
esac
# The file named on the command line was loaded: its name is drawn in the marquee's place.
colours=$(convert "$work/shot.png" -crop "248x14+15+$((height - 118 + 15))" +repage -format '%k' info:)
[[ $colours -gt 2 ]] || { echo "no file name in the panel ($colours colours)"; exit 1; }
echo "screenshot check passed ($width x $height)"
