#!/usr/bin/env bash
# Starts or stops a private Wayland compositor (weston's headless backend with its desktop
# shell) for end-to-end tests. weston logs every protocol request and event of its clients to
# <state-dir>/weston.log, which is how a test sees what a client asked of the compositor.
#   weston-fixture.sh start <state-dir>  -> writes <state-dir>/runtime (the XDG_RUNTIME_DIR)
#                                           and <state-dir>/display (the WAYLAND_DISPLAY)
#   weston-fixture.sh stop <state-dir>
set -euo pipefail
cmd=${1:?usage: weston-fixture.sh start|stop <state-dir>}
state=${2:?usage: weston-fixture.sh start|stop <state-dir>}
deadline=30
socket=wayland-quillbox

running() {  # running <pid>: a process that ended but is not reaped yet (a zombie) has ended
  local s
  s=$(sed -n 's/^.*) \(.\).*/\1/p' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$s" ] && [ "$s" != Z ]
}

stop() {
  if [ -f "$state/weston.pid" ]; then
    pid=$(cat "$state/weston.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do running "$pid" || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$state/weston.pid"
  fi
  if [ -f "$state/runtime" ]; then rm -rf "$(cat "$state/runtime")"; fi
  rm -f "$state/runtime" "$state/display"
}

case $cmd in
start)
  stop
  mkdir -p "$state"
  # A runtime folder of its own, short enough for a socket path.
  runtime=$(mktemp -d /tmp/qb-wl.XXXXXX)
  chmod 700 "$runtime"
  echo "$runtime" >"$state/runtime"
  rm -f "$state/weston.log"
  XDG_RUNTIME_DIR=$runtime setsid weston --backend=headless-backend.so --socket=$socket \
    --width=1280 --height=1024 --idle-time=0 --log="$state/weston.log" --logger-scopes=log,proto \
    >"$state/weston.out" 2>&1 </dev/null &
  echo $! >"$state/weston.pid"
  # weston opens its socket once the backend and the shell are up.
  start=$SECONDS
  until [ -S "$runtime/$socket" ] && grep -q "launching '.*weston-desktop-shell'" "$state/weston.log"; do
    if ! running "$(cat "$state/weston.pid")" || ((SECONDS - start > deadline)); then
      echo "weston-fixture: weston did not come up" >&2
      cat "$state/weston.out" "$state/weston.log" >&2 || true
      exit 1
    fi
    sleep 0.05
  done
  echo "$socket" >"$state/display"
  echo "weston-fixture: weston $(weston --version | cut -d' ' -f2) on $runtime/$socket ready"
  ;;
stop) stop ;;
*)
  echo "usage: $0 start|stop <state-dir>" >&2
  exit 2
  ;;
esac
