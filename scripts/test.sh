#!/usr/bin/env bash
# Sets up, builds and runs every test. The services the tests need (a virtual X display, a private
# D-Bus session with an unlocked GNOME Keyring and its own HOME) are started here and stopped when
# the script ends; the user's own session and keyring are never touched.
#
#   scripts/test.sh [ctest arguments...]
#   TRELVO_SANITIZE=address,undefined scripts/test.sh    # as CI runs it
#   TRELVO_ONLY=keychain scripts/test.sh                 # one program only
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sanitize=${TRELVO_SANITIZE:-}
build=${TRELVO_BUILD_DIR:-"$root/build${sanitize:+-${sanitize//[,]/-}}"}
"$root/scripts/setup.sh" "$build" -DTRELVO_SANITIZE="$sanitize" \
  -DTRELVO_ONLY="${TRELVO_ONLY:-installer;service;keychain;matte}"

state=$(mktemp -d /tmp/trelvo-test.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$state"
}
trap cleanup EXIT

# Nothing started by a test may reach the caller's display or session bus.
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

# A virtual display, offered to the tests that want one as TRELVO_TEST_DISPLAY.
exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 1280x800x24 -nolisten tcp >"$state/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 20 -u "$displayfd" display || { echo "test.sh: Xvfb did not start" >&2; exit 1; }
exec {displayfd}<&-
export TRELVO_TEST_DISPLAY=":$display"

# A private session bus with GNOME Keyring's secrets component, unlocked, in a HOME of its own.
export TRELVO_TEST_KEYRING_HOME="$state/home"
mkdir -p -m 0700 "$TRELVO_TEST_KEYRING_HOME" "$state/run"
dbus-daemon --session --fork --nopidfile --print-address=3 --print-pid=4 \
  3>"$state/bus-address" 4>"$state/bus-pid"
pids+=("$(cat "$state/bus-pid")")
export DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$state/bus-address")
(
  export HOME="$TRELVO_TEST_KEYRING_HOME" XDG_RUNTIME_DIR="$state/run"
  export XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config"
  exec gnome-keyring-daemon --foreground --unlock --components=secrets \
    <<<"trelvo-test" >"$state/keyring.log" 2>&1
) &
pids+=($!)
for _ in $(seq 100); do
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
    grep -q 'boolean true' && break
  sleep 0.1
done
export TRELVO_TEST_KEYRING=1

export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$build"
ctest --output-on-failure --timeout 900 -j "$(nproc)" "$@"
