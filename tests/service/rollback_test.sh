#!/usr/bin/env bash
# End to end: an update whose new version dies at once is rolled back by the real installer, which
# runs the real TrelvoService inside the previous bundle; the launcher hands over to the bundled
# Python service, whose force-stop must really stop the background process of the data directory.
#
#   rollback_test.sh INSTALLER SOURCE_DIR
# with TRELVO_BUILD_DIR naming the build folder that holds service/TrelvoService.
set -uo pipefail

installer=${1:?installer path}
source_dir=${2:?source dir}
source "$source_dir/demo/lib/service_bundle.sh"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The installer never works as root: run everything it touches as an unprivileged user.
runner=()
if [[ $(id -u) -eq 0 ]]; then
  runner=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
fi

# A process counts as gone when it no longer exists or has ended and waits to be reaped.
gone() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  stat=${stat##*) }
  [[ ${stat%% *} == [ZX] ]]
}

tmp=$(mktemp -d /tmp/trelvo-rollback.XXXXXX)
service_pid=""
cleanup() {
  [[ -n $service_pid ]] && ! gone "$service_pid" && kill -9 "$service_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
chmod 0755 "$tmp"

# One case: $1 = name, $2 = manifest of the previous bundle, $3 = expected installer status.
run_case() {
  local name=$1 manifest=$2 expected=$3
  local root="$tmp/$name"
  local apps="$root/Applications" data="$root/data" home="$root/home"
  local bundle="$apps/Trelvo Pro.app"
  local staging="$apps/.trelvo-beta-app-$name"
  echo "--- $name"
  mkdir -p "$apps" "$data/run" "$home" "$staging"

  # The previous version: the service runtime, and a main executable that notes its relaunch.
  trelvo_install_service_runtime "$bundle" || fail "$name: cannot build the previous bundle"
  mkdir -p "$bundle/Contents/MacOS"
  printf '#!/bin/sh\nprintf "%%s\\n" "$*" >"%s/relaunched"\n' "$data" >"$bundle/Contents/MacOS/Trelvo Pro"
  chmod 0755 "$bundle/Contents/MacOS/Trelvo Pro"

  # The new version dies at once without ever getting ready.
  mkdir -p "$staging/Trelvo Pro.app/Contents/MacOS"
  printf '#!/bin/sh\nexit 3\n' >"$staging/Trelvo Pro.app/Contents/MacOS/Trelvo Pro"
  chmod 0755 "$staging/Trelvo Pro.app/Contents/MacOS/Trelvo Pro"
  chmod 0700 "$staging"
  [[ ${#runner[@]} -eq 0 ]] || chown -R 65534:65534 "$root"

  cd "$root" || fail "$name: cd"
  local as_runner=("${runner[@]}" env -u DISPLAY -u WAYLAND_DISPLAY HOME="$home")

  # The background service of the data directory, started through the same launcher.
  local state
  state=$("${as_runner[@]}" "$bundle/Contents/Helpers/TrelvoService" serve --data "$data") ||
    fail "$name: serve failed: $state"
  [[ $state =~ \"pid\":\ ([0-9]+) ]] || fail "$name: serve said: $state"
  service_pid=${BASH_REMATCH[1]}
  gone "$service_pid" && fail "$name: the background service is not running"
  printf '%s\n' "$manifest" >"$bundle/Contents/Resources/runtime.json"

  # The desktop application has quit already; the process that becomes the installer writes the
  # handoff file naming itself, then turns into the installer (same process id).
  sh -c 'exit 0' &
  local app_pid=$!
  wait "$app_pid"
  local status=0
  setsid -w "${as_runner[@]}" bash -c 'printf "{\"pid\": %d}\n" "$$" >"$1" && shift && exec "$@"' \
    handoff "$data/run/native-update.json" \
    "$installer" "$app_pid" "$bundle" "$staging" "$data" \
    </dev/null >"$root/installer.out" 2>"$root/installer.err" || status=$?

  echo "installer status $status; stderr:"
  cat "$root/installer.err"
  [[ $status -eq $expected ]] || fail "$name: installer status $status, expected $expected"
  [[ ! -s $root/installer.out ]] || fail "$name: the installer wrote to standard output"

  if [[ $expected -eq 0 ]]; then
    for _ in $(seq 50); do [[ -e $data/relaunched ]] && break; sleep 0.1; done
    [[ $(cat "$data/relaunched" 2>/dev/null) == "--trelvo-beta-rollback" ]] ||
      fail "$name: the previous version was not relaunched with the rollback flag"
    [[ ! -e $staging ]] || fail "$name: the staging directory is still there"
    [[ -x $bundle/Contents/Helpers/TrelvoService ]] || fail "$name: the previous bundle is not back"
    gone "$service_pid" || fail "$name: the background service $service_pid is still running"
    [[ ! -e $data/run/service.pid ]] || fail "$name: the service's pid file is left behind"
  else
    # The launcher refused the runtime: its error object is no confirmation, so nothing was
    # stopped, the bundles stay swapped and the alert names the staging directory.
    [[ $(cat "$staging/service-status.json") == '{"error":"无法启动随包运行时，请重新安装 Trelvo Pro"}' ]] ||
      fail "$name: the status file does not hold the launch error line"
    grep -qF "$staging" "$root/installer.err" || fail "$name: the alert does not name the staging directory"
    gone "$service_pid" && fail "$name: the background service was stopped"
    kill -9 "$service_pid" 2>/dev/null
  fi
  service_pid=""
  cd / || true
}

run_case rolled-back '{"paths": {"python": "python/bin/python3"}, "preview": false}' 0
run_case launcher-refused '{"paths": {"python": "/usr/bin/python3"}}' 5
echo "PASS"
