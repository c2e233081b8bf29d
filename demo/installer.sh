#!/usr/bin/env bash
# Shows the beta update installer at work on sample bundles it makes itself: one update that the
# new version confirms (commit), one whose new version fails to start (rollback), and one whose
# rollback cannot finish, which ends in the recovery alert: shown on a private virtual display
# with the fonts of a desktop without CJK fonts, captured as <build>/installer-recovery-alert.png.
#
#   TRELVO_BUILD_DIR=build demo/installer.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TRELVO_BUILD_DIR:-"$root/build"}
installer="$build/installer/TrelvoBetaInstaller"
[[ -x $installer ]] || { echo "demo: $installer is not built" >&2; exit 1; }

work=$(mktemp -d /tmp/trelvo-installer-demo.XXXXXX)
chmod 755 "$work"
sessions=()
xvfb_pid=
cleanup() {
  for s in "${sessions[@]}"; do kill -KILL -- "-$s" 2>/dev/null || true; done
  [[ -z $xvfb_pid ]] || kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The installer refuses to run as root, so as root everything runs as the unprivileged "nobody".
as_user=()
if [[ $(id -u) == 0 ]]; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
  echo "Running as root: the installer and the sample application run as user 65534 instead."
fi
give_away() { [[ $(id -u) != 0 ]] || chown -R 65534:65534 "$@"; }

apps="$work/Applications"
bundle="$apps/Trelvo Pro.app"
data="$work/Data"
log="$work/launches.log"
mkdir -p "$apps" "$data/run" "$work/home"
: >"$log"
export TRELVO_DEMO_LOG=$log HOME="$work/home"
unset DISPLAY WAYLAND_DISPLAY

real_service=false
if [[ -f "$root/demo/lib/service_bundle.sh" && -x "$build/service/TrelvoService" ]]; then
  # shellcheck source=/dev/null
  source "$root/demo/lib/service_bundle.sh"
  real_service=true
fi

# make_bundle PATH VERSION HEALTHY(yes|no) [real-service]
make_bundle() {
  local path=$1 version=$2 healthy=$3
  mkdir -p "$path/Contents/MacOS" "$path/Contents/Helpers" "$path/Contents/Resources"
  echo "$version" >"$path/Contents/Resources/version"
  echo "$healthy" >"$path/Contents/Resources/healthy"
  # A small stand-in for the desktop application.
  cat >"$path/Contents/MacOS/Trelvo Pro" <<'APP'
#!/bin/sh
contents=$(dirname "$(dirname "$0")")
version=$(cat "$contents/Resources/version")
echo "Trelvo Pro $version started with: $*" >>"$TRELVO_DEMO_LOG"
case "$1" in
  --trelvo-beta-ready=*)
    if [ "$(cat "$contents/Resources/healthy")" != yes ]; then
      echo "Trelvo Pro $version: cannot start (simulated fault), quitting" >>"$TRELVO_DEMO_LOG"
      exit 1
    fi
    if [ -x "$contents/Helpers/TrelvoService" ]; then
      "$contents/Helpers/TrelvoService" serve --data "$TRELVO_DEMO_DATA" >/dev/null 2>&1 || true
    fi
    : >"${1#--trelvo-beta-ready=}"
    echo "Trelvo Pro $version: healthy, ready marker created" >>"$TRELVO_DEMO_LOG" ;;
esac
exec sleep 60
APP
  chmod 755 "$path/Contents/MacOS/Trelvo Pro"
  if [[ ${4:-} == real-service && $real_service == true ]]; then
    trelvo_install_service_runtime "$path"
  else
    cat >"$path/Contents/Helpers/TrelvoService" <<'SERVICE'
#!/bin/sh
echo "TrelvoService (stand-in): $*" >>"$TRELVO_DEMO_LOG"
echo '{"state": "stopped"}'
SERVICE
    chmod 755 "$path/Contents/Helpers/TrelvoService"
  fi
}
export TRELVO_DEMO_DATA=$data

# What the installer gets besides the inherited environment (the display for the alert).
installer_env=()
# After the installer's start with the alert on the display: capture it, then press Return.
alert_shot=

# Waits for the installer's dialog, saves a screenshot of it and dismisses it with Return. When
# no dialog can be found, or Return does not end the installer, its session is killed, so that the
# wait for it that follows cannot hang on a dialog nobody answers.
look_at_alert() {
  local window X Y WIDTH HEIGHT SCREEN WINDOW
  # Judged by what was printed: a search cut short by the timeout prints nothing, and one that
  # found more than one window may end by SIGPIPE once head has its line.
  window=$(timeout 60 xdotool search --sync --onlyvisible --pid "$1" | head -n 1) || true
  if [[ -z $window ]]; then
    echo "  - No alert window appeared on the display; the demo ends the installer."
    kill -KILL -- "-$1" 2>/dev/null || true
    return 0
  fi
  sleep 1  # let it draw
  eval "$(xdotool getwindowgeometry --shell "$window")"
  if ffmpeg -loglevel error -nostdin -y -f x11grab -video_size "${WIDTH}x${HEIGHT}" \
    -i "$DISPLAY+$X,$Y" -frames:v 1 "$alert_shot"; then
    echo "  - The recovery alert appeared on the display; its screenshot: $alert_shot"
  else
    echo "  - The recovery alert appeared on the display, but no screenshot could be taken."
  fi
  echo "  - The demo presses Return for the user, which dismisses it."
  xdotool windowfocus --sync "$window" 2>/dev/null || true
  xdotool key --clearmodifiers Return
  timeout 20 tail --pid="$1" -f /dev/null || {
    echo "  - Return did not dismiss the alert; the demo ends the installer."
    kill -KILL -- "-$1" 2>/dev/null || true
  }
}

version_at() { cat "$1/Contents/Resources/version" 2>/dev/null || echo "nothing"; }

# update STAGED_VERSION: runs one update with a stand-in desktop application that quits after 1 s.
update() {
  local staging=$1
  give_away "$work"
  "${as_user[@]}" sleep 1 &
  local app=$!
  echo "  - The desktop application (pid $app) starts the installer, writes the handoff file and quits."
  env "${installer_env[@]}" setsid "${as_user[@]}" "$installer" "$app" "$bundle" "$staging" "$data" \
    </dev/null >"$work/installer.out" 2>"$work/installer.err" &
  local pid=$!
  sessions+=("$pid")
  echo "{\"pid\": $pid}" >"$data/run/native-update.json"
  give_away "$data/run/native-update.json"
  local started=$SECONDS status=0
  [[ -z $alert_shot ]] || look_at_alert "$pid"
  wait "$pid" || status=$?
  wait "$app" 2>/dev/null || true
  sleep 0.5  # let what the installer started record its start
  echo "  - The installer (pid $pid) ended after $((SECONDS - started)) s with exit status $status."
  echo "  - What was started, in order:"
  sed 's/^/      /' "$log"
  : >"$log"
  if [[ -s "$work/installer.err" ]]; then
    echo "  - The installer's recovery alert (no display or terminal here, so on standard error):"
    sed 's/^/      /' "$work/installer.err"
  fi
  last_status=$status
}

echo
echo "== The installed application =="
make_bundle "$bundle" 1.0 yes
echo "  - $bundle holds version $(version_at "$bundle")."

echo
echo "== Update 1: version 2.0, which starts up healthy =="
staging1="$apps/.trelvo-beta-app-1"
mkdir -m 700 "$staging1"
make_bundle "$staging1/Trelvo Pro.app" 2.0 yes real-service
echo "  - Version 2.0 is staged in $staging1 (mode 0700)."
update "$staging1"
case $last_status in
  0) echo "  => Committed: the bundle path now holds version $(version_at "$bundle");" \
       "the staging directory $( [[ -e $staging1 ]] && echo "is still there" || echo "was deleted")." ;;
  *) echo "  => Unexpected: the update did not commit (status $last_status)." ;;
esac

echo
echo "== Update 2: version 3.0, which fails at start-up =="
staging2="$apps/.trelvo-beta-app-2"
mkdir -m 700 "$staging2"
make_bundle "$staging2/Trelvo Pro.app" 3.0 no
echo "  - Version 3.0 is staged in $staging2."
if [[ $real_service == true ]]; then
  echo "  - Version 2.0 carries the real TrelvoService with its Python runtime, which stops its services."
else
  echo "  - Version 2.0 carries a stand-in TrelvoService that reports its services stopped."
fi
update "$staging2"
case $last_status in
  0) echo "  => Rolled back: the services were confirmed stopped, the bundle path holds version" \
       "$(version_at "$bundle") again, relaunched with --trelvo-beta-rollback; the staging directory" \
       "with the failed 3.0 $( [[ -e $staging2 ]] && echo "is still there" || echo "was deleted")."
     if [[ $real_service == true ]]; then
       echo "  - Asked now, the service of version $(version_at "$bundle") reports:" \
         "$("${as_user[@]}" "$bundle/Contents/Helpers/TrelvoService" status --data "$data" 2>&1 || true)"
     fi ;;
  5) echo "  => The rollback could not finish: the alert above tells where version 2.0 lies." ;;
  *) echo "  => Unexpected exit status $last_status." ;;
esac

echo
echo "== Update 3: version 4.0, which fails at start-up, while the services of 2.0 do not stop =="
staging3="$apps/.trelvo-beta-app-3"
mkdir -m 700 "$staging3"
make_bundle "$staging3/Trelvo Pro.app" 4.0 no
# The simulated fault: version 2.0's service launcher reports its services still stopping.
cat >"$bundle/Contents/Helpers/TrelvoService" <<'SERVICE'
#!/bin/sh
echo "TrelvoService (stand-in, services hang): $*" >>"$TRELVO_DEMO_LOG"
echo '{"state": "stopping"}'
SERVICE
chmod 755 "$bundle/Contents/Helpers/TrelvoService"
echo "  - Version 4.0 is staged in $staging3; version 2.0's services will report \"stopping\"."
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null && command -v ffmpeg >/dev/null; then
  exec {displayfd}<> <(:)
  # -noreset: otherwise the server resets when its last client leaves (xdotool, ffmpeg, the
  # installer) and refuses whoever connects during the reset.
  Xvfb -displayfd "$displayfd" -screen 0 1024x600x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  xvfb_pid=$!
  if read -r -t 20 -u "$displayfd" display_number; then
    export DISPLAY=":$display_number"
    # The fonts of a desktop without CJK fonts, so the picture shows what the installer itself
    # brings; no accessibility bus is needed to look at it.
    install -m 644 "$root/tests/installer/fixtures/fonts-without-cjk.conf" "$work/fonts.conf"
    installer_env=(FONTCONFIG_FILE="$work/fonts.conf" NO_AT_BRIDGE=1)
    alert_shot="$(cd "$build" && pwd)/installer-recovery-alert.png"
    rm -f "$alert_shot"
    echo "  - The alert will show on a private virtual display ($DISPLAY) with DejaVu fonts only."
  fi
  exec {displayfd}<&-
fi
update "$staging3"
case $last_status in
  5) echo "  => The rollback could not finish (exit status 5): the bundle path holds version" \
       "$(version_at "$bundle"); the alert told the user that version" \
       "$(version_at "$staging3/Trelvo Pro.app") lies in $staging3."
     [[ -z $alert_shot || ! -s $alert_shot ]] ||
       echo "  => Look at the alert as the user saw it: $alert_shot" ;;
  *) echo "  => Unexpected exit status $last_status." ;;
esac
