#!/usr/bin/env bash
# Shows the beta update installer at work on sample bundles it makes itself: one update that the
# new version confirms (commit), and one whose new version fails to start (rollback).
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
cleanup() {
  for s in "${sessions[@]}"; do kill -KILL -- "-$s" 2>/dev/null || true; done
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

version_at() { cat "$1/Contents/Resources/version" 2>/dev/null || echo "nothing"; }

# update STAGED_VERSION: runs one update with a stand-in desktop application that quits after 1 s.
update() {
  local staging=$1
  give_away "$work"
  "${as_user[@]}" sleep 1 &
  local app=$!
  echo "  - The desktop application (pid $app) starts the installer, writes the handoff file and quits."
  setsid "${as_user[@]}" "$installer" "$app" "$bundle" "$staging" "$data" \
    </dev/null >"$work/installer.out" 2>"$work/installer.err" &
  local pid=$!
  sessions+=("$pid")
  echo "{\"pid\": $pid}" >"$data/run/native-update.json"
  give_away "$data/run/native-update.json"
  local started=$SECONDS status=0
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
