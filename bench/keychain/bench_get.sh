#!/usr/bin/env bash
# Per-request time of a "get" through TrelvoKeychain against the same lookup with secret-tool, on
# one private GNOME Keyring started here (the user's own keyring is never touched). The two are
# run alternately in one loop so both see the same machine state; the ratio is what counts.
#
#   bench_get.sh PATH_TO_TrelvoKeychain [ROUNDS]
set -euo pipefail

keychain=${1:?usage: bench_get.sh PATH_TO_TrelvoKeychain [ROUNDS]}
rounds=${2:-200}
command -v secret-tool >/dev/null ||
  { echo "bench: secret-tool is missing (libsecret-tools)" >&2; exit 1; }

state=$(mktemp -d /tmp/trelvo-bench.XXXXXX)
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/private_keyring.sh"
cleanup() {
  trelvo_stop_services
  rm -rf "$state"
}
trap cleanup EXIT

unset DISPLAY WAYLAND_DISPLAY TRELVO_DESKTOP_TEST_STORAGE
trelvo_start_private_keyring "$state" trelvo-bench

request='{"service":"com.trelvo.pro","account":"bench","action":"set","value":"bench-secret"}'
[[ $("$keychain" <<<"$request") == '{"value":null}' ]] || { echo "bench: set failed" >&2; exit 1; }
get='{"service":"com.trelvo.pro","account":"bench","action":"get"}'
[[ $("$keychain" <<<"$get") == '{"value":"bench-secret"}' ]] ||
  { echo "bench: get failed" >&2; exit 1; }
[[ $(secret-tool lookup service com.trelvo.pro account bench) == bench-secret ]] ||
  { echo "bench: secret-tool lookup failed" >&2; exit 1; }

ours=0
theirs=0
for ((i = 0; i < rounds; i++)); do
  t0=$EPOCHREALTIME
  "$keychain" <<<"$get" >/dev/null
  t1=$EPOCHREALTIME
  secret-tool lookup service com.trelvo.pro account bench >/dev/null
  t2=$EPOCHREALTIME
  ours=$((ours + ${t1/./} - ${t0/./}))
  theirs=$((theirs + ${t2/./} - ${t1/./}))
done
awk -v o="$ours" -v t="$theirs" -v n="$rounds" 'BEGIN {
  printf "get, %d requests each\n", n
  printf "  TrelvoKeychain: %.2f ms per request\n", o / n / 1000
  printf "  secret-tool:    %.2f ms per request\n", t / n / 1000
  printf "  ratio TrelvoKeychain / secret-tool: %.2f\n", o / t
}'
