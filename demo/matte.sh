#!/usr/bin/env bash
# Makes a short clip of a person from the astronaut photograph, writes its person mattes with
# TrelvoPersonMatte, and puts three frames beside their mattes in one preview image.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TRELVO_BUILD_DIR:-"$root/build"}
program="$build/matte/TrelvoPersonMatte"
[[ -x "$program" ]] || { echo "demo/matte.sh: no $program; run scripts/demo.sh" >&2; exit 1; }

demo="$build/demo/matte"
rm -rf "$demo"
mkdir -p "$demo"
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# Two seconds: a slow zoom towards the face, then a pan to the right.
clip="$demo/astronaut.mp4"
ff -loop 1 -i "$root/tests/fixtures/astronaut.png" -vf \
  "zoompan=z='min(1+0.01*on,1.4)':x='(iw-iw/zoom)*min(on/48,1)':y='ih/2-ih/zoom/2':d=48:s=384x384:fps=24" \
  -frames:v 48 -c:v libx264 -pix_fmt yuv420p "$clip"

echo "TrelvoPersonMatte $clip $demo/mattes"
"$program" "$clip" "$demo/mattes"

# Frames 0, 23 and 47, each beside its matte.
inputs=()
filters=""
row=0
for frame in 0 23 47; do
  inputs+=(-i "$clip" -i "$(printf '%s/mattes/%06d.png' "$demo" "$frame")")
  filters+="[$((row * 2)):v]select=eq(n\\,$frame),format=rgb24[f$row];"
  filters+="[$((row * 2 + 1)):v]format=rgb24[m$row];[f$row][m$row]hstack[r$row];"
  row=$((row + 1))
done
ff "${inputs[@]}" -filter_complex "${filters}[r0][r1][r2]vstack=inputs=3" -frames:v 1 \
  "$demo/preview.png"

echo "clip:    $clip"
echo "mattes:  $demo/mattes/ ($(find "$demo/mattes" -name '*.png' | wc -l) files)"
echo "preview: $demo/preview.png (frames 0, 23 and 47, each beside its matte)"
