#!/usr/bin/env bash
# Makes the video files the matte tests run on, with Debian's ffmpeg, into the folder given.
# Skips the work when the folder was made by this same script already.
#
#   make_videos.sh OUT_DIR
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
script="$here/$(basename "${BASH_SOURCE[0]}")"
out=$1
if [[ -f "$out/.made-by" ]] && cmp -s "$script" "$out/.made-by"; then exit 0; fi
rm -rf "$out"
mkdir -p "$out"
cd "$out"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# Twelve frames of H.264 with B-frames, so the decoder holds frames back until it is flushed.
# One encoder thread: the frame types, and so where a damaged packet sits, do not depend on the
# machine.
ff -f lavfi -i testsrc=size=160x120:rate=25 -frames:v 12 -c:v libx264 -threads 1 -pix_fmt yuv420p \
  clip12.mp4

# Odd and large frame sizes; H.264 wants even sizes, FFV1 takes any.
ff -f lavfi -i testsrc=size=1x1:rate=25 -frames:v 3 -c:v ffv1 size_1x1.mkv
ff -f lavfi -i testsrc=size=3x2:rate=25 -frames:v 3 -c:v ffv1 size_3x2.mkv
ff -f lavfi -i testsrc=size=4096x2160:rate=25 -frames:v 2 -c:v libx264 -preset ultrafast \
  -pix_fmt yuv420p size_4096x2160.mp4

# Pure blue, stored as RGB, to see the colour channels arrive in BGRA order.
ff -f lavfi -i color=c=0x0000FF:size=16x16:rate=25 -frames:v 2 -c:v ffv1 -pix_fmt bgr0 blue.mkv

# Rotation metadata: a player shows it upright, but the frames decode at 64x48.
ff -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 4 -c:v libx264 -pix_fmt yuv420p plain.mp4
ff -i plain.mp4 -c copy -metadata:s:v:0 rotate=90 rotated.mp4
rm plain.mp4

# Two video tracks: 5 frames of 80x60 first, then 9 frames of 48x32.
ff -f lavfi -i testsrc=size=80x60:rate=25 -f lavfi -i testsrc=size=48x32:rate=25 \
  -map 0:v -map 1:v -frames:v:0 5 -frames:v:1 9 -c:v ffv1 two_tracks.mkv

# No video at all: audio only, audio with cover art, and plain text.
ff -f lavfi -i sine=frequency=440:duration=0.3 audio.wav
ff -f lavfi -i sine=frequency=440:duration=0.3 -i "$here/../fixtures/astronaut.png" \
  -map 0:a -map 1:v -c:a libmp3lame -c:v png -disposition:v attached_pic cover.mp3
printf 'this is not a video\n' >not_media.txt

# A video track without a single frame: a YUV4MPEG2 header and nothing after it.
printf 'YUV4MPEG2 W16 H16 F25:1 Ip A1:1 C420jpeg\n' >empty.y4m

# Six frames of which the fourth has a damaged frame header: three frames decode, then the
# demuxer fails. Each 16x16 4:2:0 frame is "FRAME\n" and 384 bytes.
ff -f lavfi -i testsrc=size=16x16:rate=25 -frames:v 6 -pix_fmt yuv420p broken_after_3.y4m
header=$(head -n 1 broken_after_3.y4m | wc -c)
printf 'XXXXX' | dd of=broken_after_3.y4m bs=1 seek=$((header + 3 * (6 + 384))) conv=notrunc \
  status=none

# Damage FFmpeg conceals and only reports: the two tracks' file cut in half ends like a whole file,
# and 40 bytes overwritten in the seventh packet of clip12.mp4 (a copy with its index first) decode
# to patched-up pictures. The damaged MPEG-4 clip is kept with the fuzzer's seeds: asking FFmpeg
# to fail on a damaged picture made it abort on this one.
size=$(stat -c %s two_tracks.mkv)
head -c $((size / 2)) two_tracks.mkv >two_tracks_cut.mkv
ff -i clip12.mp4 -c copy -movflags +faststart clip12_faststart.mp4
read -r packet_size packet_pos < <(ffprobe -v error -select_streams v:0 \
  -show_entries packet=size,pos -of csv=p=0 clip12_faststart.mp4 | sed -n 7p | tr , ' ')
mv clip12_faststart.mp4 clip12_damaged.mp4
head -c 40 /dev/zero | tr '\0' Z | dd of=clip12_damaged.mp4 bs=1 \
  seek=$((packet_pos + packet_size / 2 - 20)) conv=notrunc status=none
cp "$here/../fuzz/fuzz_video/mpeg4_damaged.nut" .

# A frame wider than the reader accepts, cheap to store because it is two rows high.
{
  printf 'YUV4MPEG2 W20000 H2 F25:1 Ip A1:1 C420jpeg\nFRAME\n'
  head -c $((20000 * 2 * 3 / 2)) /dev/zero
} >too_wide.y4m
# A track that declares 16000x4000 pixels: refused before anything is allocated for it.
printf 'YUV4MPEG2 W16000 H4000 F25:1 Ip A1:1 C420jpeg\nFRAME\n0123456789' >too_large.y4m

# A person: the astronaut photograph, slowly zoomed about its centre, 10 frames of 384x384.
ff -loop 1 -i "$here/../fixtures/astronaut.png" -vf \
  "zoompan=z='1+0.01*on':x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2':d=10:s=384x384:fps=25" \
  -frames:v 10 -c:v libx264 -pix_fmt yuv420p person.mp4

# A person far from the camera: the photograph at a quarter of the frame's height, moving right 8
# pixels a frame across a plain wall.
ff -f lavfi -i color=c=0x9aa3ad:size=1280x720:rate=25 -loop 1 -i "$here/../fixtures/astronaut.png" \
  -filter_complex "[1]scale=180:180:flags=area[p];[0][p]overlay=x='200+8*n':y=480" -frames:v 8 \
  -c:v libx264 -threads 1 -pix_fmt yuv420p far.mp4

# Long enough to remove the output directory while the program is still at work.
ff -f lavfi -i testsrc=size=32x32:rate=25 -frames:v 1500 -c:v libx264 -pix_fmt yuv420p long.mp4

cp "$script" .made-by
