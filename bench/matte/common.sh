# Shared by the matte benchmarks: where the program is and a scratch folder that goes away.
program=${1:-"${TRELVO_BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build}/matte/TrelvoPersonMatte"}
[[ -x "$program" ]] || { echo "no TrelvoPersonMatte at $program (give its path, or set TRELVO_BUILD_DIR)" >&2; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/matte-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
now() { date +%s.%N; }
