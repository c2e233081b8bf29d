#!/usr/bin/env bash
# TrelvoPersonMatte against ffmpeg decoding the same 1080p H.264 clip and writing gray PNGs (no
# segmentation), in one run: both times, both frame rates and their ratio. Goal: at most 1.5 times
# ffmpeg's time.
#
#   bench/matte/speed.sh [PATH_TO_TrelvoPersonMatte] [SECONDS]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds=${2:-10}

clip="$scratch/clip.mp4"
ff -loop 1 -i "$(dirname "${BASH_SOURCE[0]}")/../../tests/fixtures/astronaut.png" -vf \
  "zoompan=z='1+0.002*on':x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2':d=100000:s=1920x1080:fps=25" \
  -t "$seconds" -c:v libx264 -preset veryfast -pix_fmt yuv420p "$clip"
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
  -of csv=p=0 "$clip")

mkdir -p "$scratch/ffmpeg" "$scratch/matte"
start=$(now)
ffmpeg -nostdin -loglevel error -i "$clip" -vf format=gray -f image2 "$scratch/ffmpeg/%06d.png"
ffmpeg_time=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
start=$(now)
"$program" "$clip" "$scratch/matte" >/dev/null
matte_time=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')

awk -v n="$frames" -v f="$ffmpeg_time" -v m="$matte_time" 'BEGIN {
  printf "clip: %d frames of 1920x1080 H.264\n", n
  printf "ffmpeg gray PNGs:   %7.2f s  %6.1f frames/s\n", f, n / f
  printf "TrelvoPersonMatte:  %7.2f s  %6.1f frames/s\n", m, n / m
  printf "ratio TrelvoPersonMatte / ffmpeg: %.2f (goal: at most 1.5: %s)\n", m / f, (m / f <= 1.5) ? "met" : "NOT met"
}'
