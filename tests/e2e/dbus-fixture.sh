#!/usr/bin/env bash
# Starts or stops a private D-Bus session bus for end-to-end tests: no service activation, no
# policy but "everyone may talk and own names", nothing of the machine's own session.
#   dbus-fixture.sh start <state-dir>  -> writes <state-dir>/address once the bus answers
#   dbus-fixture.sh stop <state-dir>
# The socket lives in a short folder of its own under /tmp (socket paths are limited to 107
# characters, build folders are not).
set -euo pipefail
cmd=${1:?usage: dbus-fixture.sh start|stop <state-dir>}
state=${2:?usage: dbus-fixture.sh start|stop <state-dir>}
deadline=30

running() {  # running <pid>: a process that ended but is not reaped yet (a zombie) has ended
  local s
  s=$(sed -n 's/^.*) \(.\).*/\1/p' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$s" ] && [ "$s" != Z ]
}

stop() {
  if [ -f "$state/dbus.pid" ]; then
    pid=$(cat "$state/dbus.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do running "$pid" || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$state/dbus.pid"
  fi
  if [ -f "$state/socket-dir" ]; then rm -rf "$(cat "$state/socket-dir")"; fi
  rm -f "$state/address" "$state/socket-dir"
}

case $cmd in
start)
  stop
  mkdir -p "$state"
  dir=$(mktemp -d /tmp/qb-bus.XXXXXX)
  echo "$dir" >"$state/socket-dir"
  cat >"$state/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  setsid dbus-daemon --nofork --config-file="$state/bus.conf" >"$state/dbus.log" 2>&1 </dev/null &
  echo $! >"$state/dbus.pid"
  address="unix:path=$dir/bus"
  start=$SECONDS
  until dbus-send --bus="$address" --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.GetId >/dev/null 2>&1; do
    if ((SECONDS - start > deadline)); then
      echo "dbus-fixture: the bus did not answer within $deadline s" >&2
      cat "$state/dbus.log" >&2
      exit 1
    fi
    sleep 0.05
  done
  echo "$address" >"$state/address"
  echo "dbus-fixture: bus $address ready"
  ;;
stop) stop ;;
*)
  echo "usage: $0 start|stop <state-dir>" >&2
  exit 2
  ;;
esac
