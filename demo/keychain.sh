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
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$state"
}
trap cleanup EXIT

unset DISPLAY WAYLAND_DISPLAY TRELVO_DESKTOP_TEST_STORAGE
mkdir -p -m 0700 "$state/home" "$state/run"
dbus-daemon --session --fork --nopidfile --print-address=3 --print-pid=4 \
  3>"$state/bus-address" 4>"$state/bus-pid"
pids+=("$(cat "$state/bus-pid")")
export DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$state/bus-address")
(
  export HOME="$state/home" XDG_RUNTIME_DIR="$state/run"
  export XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config"
  exec gnome-keyring-daemon --foreground --unlock --components=secrets \
    <<<"trelvo-demo" >"$state/keyring.log" 2>&1
) &
pids+=($!)
for _ in $(seq 100); do
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
    grep -q 'boolean true' && break
  sleep 0.1
done
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
