#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run its demo, fetches the
# segmentation model, then configures and builds. Safe to run again: it only does what is missing.
#
#   scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$root/build"}
shift || true

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev nlohmann-json3-dev
  clang libclang-rt-14-dev
  libgtk-3-dev libfontconfig-dev xvfb xdotool x11-utils
  adwaita-icon-theme fonts-dejavu-core fonts-droid-fallback python3-fonttools
  libsecret-1-dev libsecret-tools gnome-keyring dbus dbus-x11
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg
  libspng-dev libdeflate-dev libxnnpack-dev libpthreadpool-dev
  python3 python3-venv python3-gi gir1.2-atspi-2.0 at-spi2-core
  util-linux procps hyperfine ca-certificates
)
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

"$root/scripts/fetch_model.sh"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)"
