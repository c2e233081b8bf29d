#!/usr/bin/env bash
# Fetches the person segmentation models from the npm registry into .cache/model/ and checks them.
# The build embeds selfie_segmentation.tflite; the landscape variant serves as a second test model.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir="$root/.cache/model"
package="@mediapipe/selfie_segmentation@0.1.1675465747"
tarball_sha=7767b33eaa68990ee06c28bbb89f39a13a47ebb07ff0f1fd4947d9e817bb9bf9
declare -A model_sha=(
  [selfie_segmentation.tflite]=8d13b7fae74af625c641226813616a2117bd6bca19eb3b75574621fc08557f27
  [selfie_segmentation_landscape.tflite]=4aafe6223bb8dac6fac8ca8ed56852870a33051ef3f6238822d282a109962894
)

ok() {
  for f in "${!model_sha[@]}"; do
    [[ -f "$dir/$f" ]] && echo "${model_sha[$f]}  $dir/$f" | sha256sum --check --status || return 1
  done
}
ok && exit 0

mkdir -p "$dir"
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
for f in "${!model_sha[@]}"; do
  install -m 0644 "$work/package/$f" "$dir/$f.tmp" && mv "$dir/$f.tmp" "$dir/$f"
done
ok || { echo "fetch_model: model checksum mismatch" >&2; exit 1; }
