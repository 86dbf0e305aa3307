#!/usr/bin/env bash
# Starts or stops PipeWire with its session manager (WirePlumber) for end-to-end tests, without
# systemd: a private runtime folder, a private session bus, no state from the user's home.
# JACK programs reach it through pipewire-jack's libjack (LD_LIBRARY_PATH as pw-jack sets it)
# under the server name "pipewire-0".
#   pipewire-fixture.sh start <state-dir>     -> the bus (first time), pipewire, wireplumber;
#                                                writes <state-dir>/runtime (XDG_RUNTIME_DIR)
#   pipewire-fixture.sh stop <state-dir>      -> wireplumber and pipewire end, as when the
#                                                user's audio system stops; bus and runtime
#                                                folder stay for the next start
#   pipewire-fixture.sh teardown <state-dir>  -> everything ends and is removed
set -euo pipefail
cmd=${1:?usage: pipewire-fixture.sh start|stop|teardown <state-dir>}
state=${2:?usage: pipewire-fixture.sh start|stop|teardown <state-dir>}
here=$(dirname "$0")
deadline=30

running() {  # running <pid>: a process that ended but is not reaped yet (a zombie) has ended
  local s
  s=$(sed -n 's/^.*) \(.\).*/\1/p' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$s" ] && [ "$s" != Z ]
}

stop_pid() {  # stop_pid <name>
  if [ -f "$state/$1.pid" ]; then
    pid=$(cat "$state/$1.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do running "$pid" || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$state/$1.pid"
  fi
}

environment() {
  runtime=$(cat "$state/runtime")
  export XDG_RUNTIME_DIR=$runtime
  export DBUS_SESSION_BUS_ADDRESS
  DBUS_SESSION_BUS_ADDRESS=$(cat "$state/bus/address")
  export XDG_CONFIG_HOME=$state/config XDG_STATE_HOME=$state/state XDG_DATA_HOME=$state/data
  unset DISPLAY WAYLAND_DISPLAY PIPEWIRE_REMOTE
}

case $cmd in
start)
  "$0" stop "$state"
  mkdir -p "$state"
  if [ ! -f "$state/runtime" ]; then
    runtime=$(mktemp -d /tmp/qb-pw.XXXXXX)
    chmod 700 "$runtime"
    echo "$runtime" >"$state/runtime"
  fi
  [ -f "$state/bus/address" ] || "$here/dbus-fixture.sh" start "$state/bus" >/dev/null
  environment
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_DATA_HOME"
  setsid pipewire >>"$state/pipewire.log" 2>&1 </dev/null &
  echo $! >"$state/pipewire.pid"
  start=$SECONDS
  until [ -S "$runtime/pipewire-0" ] && pw-cli info 0 >/dev/null 2>&1; do
    if ! running "$(cat "$state/pipewire.pid")" || ((SECONDS - start > deadline)); then
      echo "pipewire-fixture: pipewire did not come up" >&2
      cat "$state/pipewire.log" >&2
      exit 1
    fi
    sleep 0.05
  done
  setsid wireplumber >>"$state/wireplumber.log" 2>&1 </dev/null &
  echo $! >"$state/wireplumber.pid"
  # The session manager is up once it is a client of the graph and has claimed its role.
  until pw-cli ls Client 2>/dev/null | grep -q 'application.name = "WirePlumber"' &&
    pw-cli ls Metadata 2>/dev/null | grep -q 'metadata.name = "default"'; do
    if ! running "$(cat "$state/wireplumber.pid")" || ((SECONDS - start > deadline)); then
      echo "pipewire-fixture: wireplumber did not come up" >&2
      cat "$state/wireplumber.log" >&2
      exit 1
    fi
    sleep 0.05
  done
  echo "pipewire-fixture: pipewire $(pipewire --version | sed -n "s/^Linked with libpipewire //p") with wireplumber in $runtime ready"
  ;;
stop)
  stop_pid wireplumber
  stop_pid pipewire
  if [ -f "$state/runtime" ]; then rm -f "$(cat "$state/runtime")"/pipewire-0*; fi
  ;;
teardown)
  "$0" stop "$state"
  "$here/dbus-fixture.sh" stop "$state/bus"
  if [ -f "$state/runtime" ]; then rm -rf "$(cat "$state/runtime")"; fi
  rm -rf "$state/runtime" "$state/config" "$state/state" "$state/data"
  ;;
*)
  echo "usage: $0 start|stop|teardown <state-dir>" >&2
  exit 2
  ;;
esac
