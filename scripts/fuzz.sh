#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
#
#   scripts/fuzz.sh [SECONDS_EACH] [TARGET...]
# Seeds come from tests/fuzz/<target>/ when it exists, and from each folder (relative to the
# project root) listed in tests/fuzz/<target>.dirs. New inputs stay in the build folder.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
shift || true
build="$root/build-fuzz"
"$root/scripts/setup.sh" "$build" -DTRELVO_FUZZ=ON -DTRELVO_WERROR="${TRELVO_WERROR:-OFF}" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target fuzzers --parallel "$(nproc)" >/dev/null

targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in "$build"/fuzz/*; do [[ -x "$f" ]] && targets+=("$(basename "$f")"); done
fi
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  seeds=()
  [[ -d "$root/tests/fuzz/$t" ]] && seeds+=("$root/tests/fuzz/$t")
  if [[ -f "$root/tests/fuzz/$t.dirs" ]]; then
    while read -r d; do [[ -n "$d" && -d "$root/$d" ]] && seeds+=("$root/$d"); done <"$root/tests/fuzz/$t.dirs"
  fi
  echo "fuzz: $t for ${seconds}s"
  "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    "$corpus" "${seeds[@]}" 2>"$build/fuzz-$t.log" || { tail -n 60 "$build/fuzz-$t.log" >&2; exit 1; }
  grep -E '^stat::number_of_executed_units' "$build/fuzz-$t.log" || true
done
