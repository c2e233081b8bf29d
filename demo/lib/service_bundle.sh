# Sourced by the demos and tests: installs a working service runtime into a sample bundle.
#
#   source demo/lib/service_bundle.sh
#   trelvo_install_service_runtime "/some/where/Trelvo Pro.app"
#
# Installs, below BUNDLE/Contents:
#   Helpers/TrelvoService                    a copy of the built launcher ($TRELVO_BUILD_DIR/service)
#   Resources/python/                        a Python interpreter copied into the bundle (a venv of
#                                            the system's /usr/bin/python3, made with --copies)
#   Resources/runtime.json                   {"paths": {"python": "python/bin/python3"}, ...}
#   Resources/code/tools/desktop/service.py  the sample service: serve, status and force-stop
#                                            of a background process per data directory
# Everything is left readable (and the programs executable) by every user, since the installer
# may run the launcher as an unprivileged user. Returns non-zero, with a message on standard
# error, when something is missing.

trelvo_service_lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

trelvo_install_service_runtime() {
  local bundle=${1:?usage: trelvo_install_service_runtime BUNDLE}
  local build=${TRELVO_BUILD_DIR:-}
  local launcher="$build/service/TrelvoService"
  if [[ -z $build || ! -x $launcher ]]; then
    echo "trelvo_install_service_runtime: no built TrelvoService below TRELVO_BUILD_DIR ('$build')" >&2
    return 1
  fi
  if [[ ! -x /usr/bin/python3 ]]; then
    echo "trelvo_install_service_runtime: /usr/bin/python3 is missing" >&2
    return 1
  fi
  local contents="$bundle/Contents"
  local resources="$contents/Resources"
  mkdir -p "$contents/Helpers" "$resources/code/tools/desktop" || return 1
  install -m 0755 "$launcher" "$contents/Helpers/TrelvoService" || return 1
  install -m 0644 "$trelvo_service_lib_dir/service.py" "$resources/code/tools/desktop/service.py" ||
    return 1
  rm -rf "$resources/python"
  /usr/bin/python3 -m venv --copies --without-pip "$resources/python" || return 1
  # One copy of the interpreter is enough; the others are 7 MB each.
  rm -f "$resources/python/bin/python" "$resources/python/bin/python3."*
  printf '{"paths": {"python": "python/bin/python3"}, "preview": false}\n' >"$resources/runtime.json" ||
    return 1
  chmod a+rX "$bundle" "$contents" && chmod -R a+rX "$contents/Helpers" "$resources"
}
