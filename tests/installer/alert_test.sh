#!/usr/bin/env bash
# Shows the recovery alert for real on the test display: a rollback whose services report another
# state ends in the alert; the dialog must show both texts, a key press dismisses it, and the
# installer then exits with 5. It runs twice: first with the font set of a desktop without CJK
# fonts (fixtures/fonts-without-cjk.conf), where only the installer's own font can draw the texts,
# and a screenshot of the dialog is kept as SCREENSHOT_DIR/recovery-alert.png for a person to look
# at; then with the machine's fonts and a home directory the user cannot write, where the
# toolkit's font cache complains straight to standard error; the installer must still write
# nothing there.
#
#   alert_test.sh INSTALLER FIXTURES SCREENSHOT_DIR     (exit 77: skipped)
set -euo pipefail
installer=$1
fixtures=$2
screenshots=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [[ -z "${TRELVO_TEST_DISPLAY:-}" ]]; then
  if [[ "${CI:-}" == true ]]; then
    echo "alert_test: TRELVO_TEST_DISPLAY is not set, but CI needs this test to run" >&2
    exit 1
  fi
  echo "alert_test: no test display (TRELVO_TEST_DISPLAY); skipped" >&2
  exit 77
fi
for tool in xdotool dbus-daemon setsid ffmpeg; do
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

make_bundle() {  # path version app-behaviour service-behaviour
  mkdir -p "$1/Contents/MacOS" "$1/Contents/Helpers"
  echo "$2" >"$1/Contents/VERSION"
  echo "$3" >"$1/Contents/app-behaviour"
  echo "$4" >"$1/Contents/service-behaviour"
  install -m 755 "$fixtures/app.sh" "$1/Contents/MacOS/Trelvo Pro"
  install -m 755 "$fixtures/service.sh" "$1/Contents/Helpers/TrelvoService"
}

# A session bus of the user's own carries the accessibility tree of the dialog.
mkdir -p "$root/home"
[[ $(id -u) == 0 ]] && chown 65534:65534 "$root/home"
export HOME="$root/home"
unset WAYLAND_DISPLAY XDG_CACHE_HOME
bus=$("${as_user[@]}" dbus-daemon --session --fork --print-address=1 --print-pid=1 | head -n 2)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
pids+=("$(sed -n 2p <<<"$bus")")
export DISPLAY=$TRELVO_TEST_DISPLAY

# The user the installer runs as may not be able to read the source tree.
install -m 644 "$fixtures/fonts-without-cjk.conf" "$root/fonts-without-cjk.conf"

# A PNG of the window's area of the display.
screenshot() {  # window file
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  ffmpeg -loglevel error -nostdin -y -f x11grab -video_size "${WIDTH}x${HEIGHT}" \
    -i "$DISPLAY+$X,$Y" -frames:v 1 "$2" || return 1
  [[ $(head -c 8 "$2" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]]
}

# One update that ends in the alert, in its own tree under $root/$1, with HOME=$2, the fontconfig
# configuration $3 (empty: the machine's) and a screenshot of the dialog into $4 (empty: none).
# Returns 0 when the alert showed both texts, Return ended it with 5 and nothing was written.
alert_run() {
  local run=$root/$1
  local home=$2
  local fonts=$3
  local shot=$4
  local bundle="$run/Apps/Trelvo Pro.app"
  local staging="$run/Apps/.trelvo-beta-app-1"
  local data="$run/Data"
  mkdir -p "$run/Apps" "$data/run"
  mkdir -m 700 "$staging"
  make_bundle "$bundle" previous ready stopping
  make_bundle "$staging/Trelvo Pro.app" new exit stopped
  : >"$run/log"
  : >"$run/log.procs"
  [[ $(id -u) == 0 ]] && chown -R 65534:65534 "$run"

  "${as_user[@]}" sleep 0.2 &
  local app=$!
  local font_env=()
  [[ -z $fonts ]] || font_env=(FONTCONFIG_FILE="$fonts")
  env HOME="$home" TRELVO_TEST_LOG="$run/log" "${font_env[@]}" setsid "${as_user[@]}" "$installer" \
    "$app" "$bundle" "$staging" "$data" </dev/null >"$run/out" 2>"$run/err" &
  local pid=$!
  pids+=("$pid")
  echo "{\"pid\": $pid}" >"$data/run/native-update.json"
  [[ $(id -u) == 0 ]] && chown 65534:65534 "$data/run/native-update.json"

  local window
  window=$(timeout 60 xdotool search --sync --onlyvisible --pid "$pid" | head -n 1) || {
    echo "alert_test ($1): no dialog window appeared" >&2
    return 1
  }
  echo "alert_test ($1): dialog window $window"

  local texts=""
  for _ in $(seq 50); do
    if texts=$("${as_user[@]}" /usr/bin/python3 "$here/alert_texts.py" "$pid" 2>/dev/null); then
      break
    fi
    sleep 0.2
  done
  local message="Trelvo Pro 未能自动恢复"
  local informative="上一版本已保存在以下位置，请退出 Trelvo Pro 后联系支持。
$staging"
  local status=0
  if ! grep -qxF "$message" <<<"$texts"; then
    echo "alert_test ($1): message text not shown" >&2
    status=1
  fi
  if [[ "$texts" != *"$informative"* ]]; then
    echo "alert_test ($1): informative text not shown" >&2
    status=1
  fi
  printf 'alert_test (%s): the dialog shows:\n%s\n' "$1" "$texts"
  if [[ -n $shot ]]; then
    if screenshot "$window" "$shot"; then
      echo "alert_test ($1): screenshot of the dialog: $shot"
    else
      echo "alert_test ($1): no screenshot of the dialog could be taken" >&2
      status=1
    fi
  fi

  xdotool windowfocus --sync "$window" 2>/dev/null || true
  xdotool key --clearmodifiers Return
  local exit_status=0
  timeout 20 tail --pid="$pid" -f /dev/null || {
    echo "alert_test ($1): Return did not dismiss the alert" >&2
    return 1
  }
  wait "$pid" || exit_status=$?
  if [[ $exit_status != 5 ]]; then
    echo "alert_test ($1): the installer exited with $exit_status, not 5" >&2
    status=1
  fi
  if [[ -s "$run/out" || -s "$run/err" ]]; then
    echo "alert_test ($1): the installer wrote to its standard streams:" >&2
    cat "$run/out" "$run/err" >&2
    status=1
  fi
  [[ $status == 0 ]] &&
    echo "alert_test ($1): the alert showed both texts and Return ended it with status 5"
  return "$status"
}

# Nobody may write here: no font cache can be made below it.
mkdir -p "$root/unwritable-home"
chmod 555 "$root/unwritable-home"

status=0
mkdir -p "$screenshots"
alert_run writable-home-run "$root/home" "$root/fonts-without-cjk.conf" \
  "$screenshots/recovery-alert.png" || status=1
alert_run unwritable-home-run "$root/unwritable-home" "" "" || status=1
exit "$status"
