#!/usr/bin/env bash
# Sets up, builds and shows each program doing its main job on sample data the demo makes itself.
#
#   scripts/demo.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TRELVO_BUILD_DIR:-"$root/build"}
"$root/scripts/setup.sh" "$build"

export TRELVO_BUILD_DIR="$build"
for program in installer service keychain matte; do
  demo="$root/demo/$program.sh"
  [[ -x "$demo" ]] || continue
  printf '\n=== %s ===\n' "$program"
  "$demo"
done
