#!/usr/bin/env bash
# Makes a clip of a person from the astronaut photograph (first small, far from the camera, walking
# across a wall; then a close-up that zooms and pans), writes its person mattes with
# TrelvoPersonMatte, and puts four frames in one preview image: each frame, today's single-pass
# matte, the accurate matte TrelvoPersonMatte wrote, and the person cut out over a checkerboard.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TRELVO_BUILD_DIR:-"$root/build"}
program="$build/matte/TrelvoPersonMatte"
preview_tool="$build/bench/matte/quality/matte_preview"
for tool in "$program" "$preview_tool"; do
  [[ -x "$tool" ]] || { echo "demo/matte.sh: no $tool; run scripts/demo.sh" >&2; exit 1; }
done

demo="$build/demo/matte"
rm -rf "$demo"
mkdir -p "$demo"
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
photo="$root/tests/fixtures/astronaut.png"

# Two seconds of each scene at 1280x720, 24 frames a second.
ff -f lavfi -i color=c=0x9aa3ad:size=1280x720:rate=24 -loop 1 -i "$photo" -filter_complex \
  "[1]scale=180:180:flags=area[p];[0][p]overlay=x='160+6*n':y=470" -frames:v 48 \
  -c:v libx264 -pix_fmt yuv420p "$demo/far.mp4"
ff -loop 1 -i "$photo" -vf \
  "zoompan=z='min(1+0.01*on,1.4)':x='(iw-iw/zoom)*min(on/48,1)':y='ih/2-ih/zoom/2':d=48:s=1280x720:fps=24" \
  -frames:v 48 -c:v libx264 -pix_fmt yuv420p "$demo/close.mp4"
clip="$demo/astronaut.mp4"
ff -i "$demo/far.mp4" -i "$demo/close.mp4" -filter_complex "[0:v][1:v]concat=n=2:v=1" \
  -c:v libx264 -pix_fmt yuv420p "$clip"
rm "$demo/far.mp4" "$demo/close.mp4"

echo "TrelvoPersonMatte $clip $demo/mattes"
start=$(date +%s.%N)
"$program" "$clip" "$demo/mattes"
seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')

"$preview_tool" "$clip" "$demo/mattes" "$demo/preview.png" 10 40 60 90

echo "clip:    $clip (96 frames of 1280x720; mattes written in $seconds s)"
echo "mattes:  $demo/mattes/ ($(find "$demo/mattes" -name '*.png' | wc -l) files)"
echo "preview: $demo/preview.png (frames 10 and 40 far from the camera, 60 and 90 close up;"
echo "         each row: frame, single-pass matte, accurate matte, cut-out)"
