#!/usr/bin/env bash
# Draws the program's icon: writes verbat.svg (the scalable icon, by hand: a rounded green
# square, a voice waveform and the amber text cursor of the window icon) and renders it to the
# 48 × 48 and 256 × 256 PNG files with rsvg-convert. The outputs are committed; run this again
# after changing the drawing.
set -euo pipefail
cd "$(dirname "$0")"
command -v rsvg-convert >/dev/null || { echo "make_icons: rsvg-convert is not installed (librsvg2-bin)" >&2; exit 1; }

# The waveform: eight bars around the middle line, heights in icon units (of 256).
heights=(40 84 128 68 148 100 56 116)
bars=""
for i in "${!heights[@]}"; do
  h=${heights[$i]}
  bars+="    <rect x=\"$((36 + i * 20))\" y=\"$((128 - h / 2))\" width=\"12\" height=\"$h\" rx=\"6\"/>"$'\n'
done

cat >verbat.svg <<SVG
<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">
  <defs>
    <linearGradient id="body" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="#4E9466"/>
      <stop offset="0.22" stop-color="#35704B"/>
      <stop offset="1" stop-color="#2C5E3F"/>
    </linearGradient>
  </defs>
  <rect x="8" y="8" width="240" height="240" rx="44" fill="url(#body)"/>
  <g fill="#F2F5E8">
${bars}  </g>
  <rect x="204" y="52" width="16" height="152" rx="4" fill="#FFB020"/>
</svg>
SVG

rsvg-convert -w 48 -h 48 verbat.svg -o verbat-48.png
rsvg-convert -w 256 -h 256 verbat.svg -o verbat-256.png
echo "make_icons: verbat.svg, verbat-48.png, verbat-256.png"
