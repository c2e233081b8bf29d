#!/usr/bin/env bash
# Peak resident memory of TrelvoPersonMatte on a 10-second and a 60-second 720p clip, side by side.
# One frame is in flight at a time, so the two peaks should lie within 10 % of each other.
#
#   bench/matte/memory.sh [PATH_TO_TrelvoPersonMatte]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

peaks=()
for seconds in 10 60; do
  clip="$scratch/clip$seconds.mp4"
  ff -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=$seconds" -c:v libx264 -preset veryfast \
    -pix_fmt yuv420p "$clip"
  /usr/bin/time -f '%M' -o "$scratch/rss" "$program" "$clip" "$scratch/out$seconds" >/dev/null
  peak=$(tail -n 1 "$scratch/rss")
  frames=$(find "$scratch/out$seconds" -name '*.png' | wc -l)
  printf '%3s s clip (%4d frames): peak RSS %7d KiB\n' "$seconds" "$frames" "$peak"
  peaks+=("$peak")
  rm -rf "$scratch/out$seconds"
done
awk -v a="${peaks[0]}" -v b="${peaks[1]}" 'BEGIN {
  r = b / a
  printf "ratio 60 s / 10 s: %.3f (goal: within 10 %%: %s)\n", r, (r >= 0.9 && r <= 1.1) ? "met" : "NOT met"
}'
