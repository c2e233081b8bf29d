#!/usr/bin/env bash
# Sets up, builds and runs every test. The services the tests need (a virtual X display, a private
# D-Bus session with an unlocked GNOME Keyring and its own HOME) are started here and stopped when
# the script ends; the user's own session and keyring are never touched.
#
#   scripts/test.sh [ctest arguments...]
#   TRELVO_SANITIZE=address,undefined scripts/test.sh    # as CI runs it
#   TRELVO_ONLY=keychain scripts/test.sh                 # one program only
#   TRELVO_WERROR=ON scripts/test.sh                     # warnings fail the build, as in CI
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sanitize=${TRELVO_SANITIZE:-}
build=${TRELVO_BUILD_DIR:-"$root/build${sanitize:+-${sanitize//[,]/-}}"}
"$root/scripts/setup.sh" "$build" -DTRELVO_SANITIZE="$sanitize" \
  -DTRELVO_ONLY="${TRELVO_ONLY:-installer;service;keychain;matte}" -DTRELVO_WERROR="${TRELVO_WERROR:-OFF}"

state=$(mktemp -d /tmp/trelvo-test.XXXXXX)
source "$root/scripts/private_keyring.sh"
cleanup() {
  trelvo_stop_services
  rm -rf "$state"
}
trap cleanup EXIT

# Nothing started by a test may reach the caller's display or session bus.
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

# A virtual display, offered to the tests that want one as TRELVO_TEST_DISPLAY. Without -noreset
# the server resets whenever its last client leaves and refuses a client that connects meanwhile,
# so one test process opening the display right after another has closed it could be turned away.
exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 1280x800x24 -nolisten tcp -noreset >"$state/xvfb.log" 2>&1 &
trelvo_service_pids+=($!)
read -r -t 20 -u "$displayfd" display || { echo "test.sh: Xvfb did not start" >&2; exit 1; }
exec {displayfd}<&-
export TRELVO_TEST_DISPLAY=":$display"

# A private session bus with GNOME Keyring's secrets component, unlocked, in a HOME of its own.
export TRELVO_TEST_KEYRING_HOME="$state/home"
trelvo_start_private_keyring "$state" trelvo-test
export TRELVO_TEST_KEYRING=1

export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:halt_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$build"
ctest --output-on-failure --timeout 900 -j "$(nproc)" "$@"
