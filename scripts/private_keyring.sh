# Sourced by the scripts that need a Secret Service of their own (tests, benchmark, demo): starts a
# private D-Bus session with GNOME Keyring's secrets component unlocked, in a HOME of its own below
# STATE_DIR, and exports DBUS_SESSION_BUS_ADDRESS. The user's own session and keyring are never
# touched. The caller stops the services with trelvo_stop_services, normally from an EXIT trap.

trelvo_service_pids=()

trelvo_stop_services() {
  local pid
  for pid in "${trelvo_service_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}

# trelvo_start_private_keyring STATE_DIR PASSWORD
trelvo_start_private_keyring() {
  local state=$1 password=$2
  mkdir -p -m 0700 "$state/home" "$state/run"
  dbus-daemon --session --fork --nopidfile --print-address=3 --print-pid=4 \
    3>"$state/bus-address" 4>"$state/bus-pid"
  trelvo_service_pids+=("$(cat "$state/bus-pid")")
  DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$state/bus-address")
  export DBUS_SESSION_BUS_ADDRESS
  (
    export HOME="$state/home" XDG_RUNTIME_DIR="$state/run"
    export XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config"
    exec gnome-keyring-daemon --foreground --unlock --components=secrets \
      <<<"$password" >"$state/keyring.log" 2>&1
  ) &
  trelvo_service_pids+=($!)
  local _
  for _ in $(seq 100); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
      grep -q 'boolean true' && return 0
    sleep 0.1
  done
  echo "private keyring: the Secret Service did not start" >&2
  return 1
}
