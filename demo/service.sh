#!/usr/bin/env bash
# Builds a sample "Trelvo Pro.app" with a Python interpreter inside it and shows TrelvoService
# handing its process over to the bundled service script: a background service of a data folder
# is started, asked for its state and force-stopped, as the installer's rollback does. Then the
# launcher refuses interpreters that do not lie inside the bundle.
#
#   TRELVO_BUILD_DIR=build demo/service.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export TRELVO_BUILD_DIR=${TRELVO_BUILD_DIR:-$root/build}
source "$root/demo/lib/service_bundle.sh"

work=$(mktemp -d /tmp/trelvo-service-demo.XXXXXX)
cleanup() {
  "$launcher" force-stop --data "$data" >/dev/null 2>&1 || true
  rm -rf "$work"
}
bundle="$work/Applications/Trelvo Pro.app"
launcher="$bundle/Contents/Helpers/TrelvoService"
manifest="$bundle/Contents/Resources/runtime.json"
data="$work/data"
trap cleanup EXIT
# The per-user directories the launcher names go below a home of the demo's own.
export HOME="$work/home"
mkdir -p "$HOME" "$data"

show() {
  printf '\n$ %s\n' "$*"
  local status=0
  "$@" || status=$?
  echo "[exit status $status]"
}

trelvo_install_service_runtime "$bundle"
echo "Sample bundle: $bundle"
(cd "$bundle" && find Contents -maxdepth 5 -not -path '*/python/*' | sort | sed 's/^/  /')
echo "Manifest: $(cat "$manifest")"

echo
echo "== The launcher hands over to the bundled Python service =="
show "$launcher" status --data "$data"
show "$launcher" serve --data "$data"
pid=$(sed -n 's/.*"pid": \([0-9]*\).*/\1/p' "$data/run/service.pid")
printf '\nBackground process of %s:\n' "$data"
ps -o pid,stat,args -p "$pid" | sed 's/^/  /'
show "$launcher" status --data "$data"
show "$launcher" force-stop --data "$data"
show "$launcher" status --data "$data"
if [[ -d /proc/$pid ]] && ! grep -q ') [ZX] ' "/proc/$pid/stat"; then
  echo "background process $pid is still running" >&2
  exit 1
fi
echo "Background process $pid is gone."

echo
echo "== Reached through a symbolic link elsewhere, it still uses the real bundle =="
ln -s "$launcher" "$work/TrelvoService"
show "$work/TrelvoService" status --data "$data"

echo
echo "== Interpreters outside the bundle are refused with the launch error line =="
printf '{"paths": {"python": "/usr/bin/python3"}}\n' >"$manifest"
echo "Manifest: $(cat "$manifest")"
show "$launcher" status --data "$data"
ln -s /usr/bin/python3 "$bundle/Contents/Resources/system-python"
printf '{"paths": {"python": "system-python"}}\n' >"$manifest"
echo "Manifest: $(cat "$manifest")   (system-python -> /usr/bin/python3)"
show "$launcher" status --data "$data"
printf '{"paths": {"python": "../../../python3"}}\n' >"$manifest"
echo "Manifest: $(cat "$manifest")"
show "$launcher" status --data "$data"
