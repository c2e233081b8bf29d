#!/usr/bin/env bash
# Shows the recovery alert for real on the test display: a rollback whose services report another
# state ends in the alert; the dialog must show both texts, a key press dismisses it, and the
# installer then exits with 5.
#
#   alert_test.sh INSTALLER FIXTURES     (exit 77: skipped)
set -euo pipefail
installer=$1
fixtures=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [[ -z "${TRELVO_TEST_DISPLAY:-}" ]]; then
  if [[ "${CI:-}" == true ]]; then
    echo "alert_test: TRELVO_TEST_DISPLAY is not set, but CI needs this test to run" >&2
    exit 1
  fi
  echo "alert_test: no test display (TRELVO_TEST_DISPLAY); skipped" >&2
  exit 77
fi
for tool in xdotool dbus-daemon setsid; do
  command -v "$tool" >/dev/null || { echo "alert_test: $tool is missing" >&2; exit 1; }
done

root=$(mktemp -d /tmp/trelvo-alert.XXXXXX)
chmod 755 "$root"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL -- "-$pid" "$pid" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT

# Everything runs as one unprivileged user when the tests run as root.
as_user=()
if [[ $(id -u) == 0 ]]; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
fi

bundle="$root/Apps/Trelvo Pro.app"
staging="$root/Apps/.trelvo-beta-app-1"
data="$root/Data"
make_bundle() {  # path version app-behaviour service-behaviour
  mkdir -p "$1/Contents/MacOS" "$1/Contents/Helpers"
  echo "$2" >"$1/Contents/VERSION"
  echo "$3" >"$1/Contents/app-behaviour"
  echo "$4" >"$1/Contents/service-behaviour"
  install -m 755 "$fixtures/app.sh" "$1/Contents/MacOS/Trelvo Pro"
  install -m 755 "$fixtures/service.sh" "$1/Contents/Helpers/TrelvoService"
}
mkdir -p "$root/Apps" "$data/run" "$root/home"
mkdir -m 700 "$staging"
make_bundle "$bundle" previous ready stopping
make_bundle "$staging/Trelvo Pro.app" new exit stopped
: >"$root/log"
[[ $(id -u) == 0 ]] && chown -R 65534:65534 "$root"

# A session bus of the user's own carries the accessibility tree of the dialog.
export HOME="$root/home" TRELVO_TEST_LOG="$root/log"
unset WAYLAND_DISPLAY
bus=$("${as_user[@]}" dbus-daemon --session --fork --print-address=1 --print-pid=1 | head -n 2)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
pids+=("$(sed -n 2p <<<"$bus")")
export DISPLAY=$TRELVO_TEST_DISPLAY

"${as_user[@]}" sleep 0.2 &
app=$!
setsid "${as_user[@]}" "$installer" "$app" "$bundle" "$staging" "$data" \
  </dev/null >"$root/out" 2>"$root/err" &
pid=$!
pids+=("$pid")
echo "{\"pid\": $pid}" >"$data/run/native-update.json"
[[ $(id -u) == 0 ]] && chown 65534:65534 "$data/run/native-update.json"

window=$(timeout 60 xdotool search --sync --onlyvisible --pid "$pid" | head -n 1) || {
  echo "alert_test: no dialog window appeared" >&2
  exit 1
}
echo "alert_test: dialog window $window"

texts=""
for _ in $(seq 50); do
  if texts=$("${as_user[@]}" /usr/bin/python3 "$here/alert_texts.py" "$pid" 2>/dev/null); then
    break
  fi
  sleep 0.2
done
message="Trelvo Pro 未能自动恢复"
informative="上一版本已保存在以下位置，请退出 Trelvo Pro 后联系支持。
$staging"
status=0
grep -qxF "$message" <<<"$texts" || { echo "alert_test: message text not shown" >&2; status=1; }
if [[ "$texts" != *"$informative"* ]]; then
  echo "alert_test: informative text not shown" >&2
  status=1
fi
printf 'alert_test: the dialog shows:\n%s\n' "$texts"

xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool key --clearmodifiers Return
exit_status=0
timeout 20 tail --pid="$pid" -f /dev/null || { echo "alert_test: Return did not dismiss the alert" >&2; exit 1; }
wait "$pid" || exit_status=$?
if [[ $exit_status != 5 ]]; then
  echo "alert_test: the installer exited with $exit_status, not 5" >&2
  status=1
fi
if [[ -s "$root/out" || -s "$root/err" ]]; then
  echo "alert_test: the installer wrote to its standard streams:" >&2
  cat "$root/out" "$root/err" >&2
  status=1
fi
[[ $status == 0 ]] && echo "alert_test: the alert showed both texts and Return ended it with status 5"
exit "$status"
