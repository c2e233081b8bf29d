#!/usr/bin/env bash
# Stores, reads and deletes a secret through TrelvoKeychain on a private GNOME Keyring started
# here in a temporary HOME (and stopped at the end), printing each request and its response.
#
#   TRELVO_BUILD_DIR=build demo/keychain.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
keychain="${TRELVO_BUILD_DIR:-$root/build}/keychain/TrelvoKeychain"
[[ -x "$keychain" ]] || { echo "demo: $keychain is not built" >&2; exit 1; }

state=$(mktemp -d /tmp/trelvo-keychain-demo.XXXXXX)
source "$root/scripts/private_keyring.sh"
cleanup() {
  trelvo_stop_services
  rm -rf "$state"
}
trap cleanup EXIT

unset DISPLAY WAYLAND_DISPLAY TRELVO_DESKTOP_TEST_STORAGE
trelvo_start_private_keyring "$state" trelvo-demo
echo "private keyring on $DBUS_SESSION_BUS_ADDRESS"

ask() {
  local request=$1 response status
  printf '\nrequest:  %s\n' "$request"
  set +e
  response=$(printf '%s' "$request" | "$keychain")
  status=$?
  set -e
  printf 'response: %s\nexit status: %d\n' "$response" "$status"
}

item='"service":"com.trelvo.pro.providers","account":"demo@example.com"'
ask "{$item,\"action\":\"get\"}"
ask "{$item,\"action\":\"set\",\"value\":\"sk-demo/\\u00e9\"}"
ask "{$item,\"action\":\"get\"}"
printf '\nas another Secret Service client sees it:\n'
secret-tool search --all service com.trelvo.pro.providers 2>&1 | sed 's/^/  /'
ask "{$item,\"action\":\"delete\"}"
ask "{$item,\"action\":\"get\"}"
ask '{"service":"com.example","account":"demo@example.com","action":"get"}'
