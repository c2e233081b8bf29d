#!/usr/bin/env bash
# TrelvoPersonMatte against decoding alone and against ffmpeg's export of gray PNGs, on the same
# 1080p H.264 clip (a pan over the astronaut photograph), in one run: the times (each the best of
# three runs, taken in turns so that a slower spell of the machine hits all alike), the ratios to
# decoding alone and to the export, the mean matte size, and where the program's time goes.
# Given a second program (another build, say before a change), it is measured the same way, in
# the same turns.
#
#   bench/matte/speed.sh [PATH_TO_TrelvoPersonMatte] [SECONDS] [OTHER_TrelvoPersonMatte]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds=${2:-10}
other=${3:-}
stages="$(dirname "$program")/../bench/matte/quality/matte_stage_bench"

clip="$scratch/clip.mp4"
ff -loop 1 -i "$(dirname "${BASH_SOURCE[0]}")/../../tests/fixtures/astronaut.png" -vf \
  "zoompan=z='1+0.002*on':x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2':d=100000:s=1920x1080:fps=25" \
  -t "$seconds" -c:v libx264 -preset veryfast -pix_fmt yuv420p "$clip"
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
  -of csv=p=0 "$clip")

# Best of the runs of one command: seconds of wall time.
declare -A best
run() {
  local name=$1
  shift
  rm -rf "$scratch/out"
  mkdir -p "$scratch/out"
  local start end
  start=$(now)
  "$@" >/dev/null
  end=$(now)
  best[$name]=$(awk -v a="$start" -v b="$end" -v o="${best[$name]:-1e30}" \
    'BEGIN { t = b - a; print (t < o) ? t : o }')
}
for round in 1 2 3; do
  run decode ffmpeg -nostdin -loglevel error -i "$clip" -f null -
  run export ffmpeg -nostdin -loglevel error -i "$clip" -vf format=gray -f image2 \
    "$scratch/out/%06d.png"
  run matte "$program" "$clip" "$scratch/out"
  size=$(du -sb "$scratch/out" | cut -f1)
  [[ -n "$other" ]] && { run other "$other" "$clip" "$scratch/out"; other_size=$(du -sb "$scratch/out" | cut -f1); }
done

report() {
  awk -v n="$frames" -v t="$2" -v d="${best[decode]}" -v e="${best[export]}" -v s="$3" -v name="$1" \
    'BEGIN { printf "%-26s %7.2f s  %6.1f frames/s  %5.2f x decoding  %5.2f x export  %6.1f KiB/matte\n",
             name, t, n / t, t / d, t / e, s / n / 1024 }'
}
printf 'clip: %d frames of 1920x1080 H.264\n' "$frames"
awk -v n="$frames" -v d="${best[decode]}" -v e="${best[export]}" 'BEGIN {
  printf "%-26s %7.2f s  %6.1f frames/s\n", "decoding alone", d, n / d
  printf "%-26s %7.2f s  %6.1f frames/s  %5.2f x decoding\n", "ffmpeg gray PNG export", e, n / e, e / d
}'
report TrelvoPersonMatte "${best[matte]}" "$size"
[[ -n "$other" ]] && report "other ($(basename "$(dirname "$(dirname "$other")")"))" "${best[other]}" "$other_size"
awk -v m="${best[matte]}" -v d="${best[decode]}" 'BEGIN {
  printf "goal: TrelvoPersonMatte at most 6 x decoding alone: %s\n", (m / d <= 6) ? "met" : "NOT met" }'
if [[ -x "$stages" ]]; then
  echo
  "$stages" "$clip"
fi
