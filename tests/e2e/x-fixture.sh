#!/usr/bin/env bash
# Starts or stops a private X server (Xvfb) with the icewm window manager for end-to-end tests.
#   x-fixture.sh start <state-dir> [tray|notray] [WxH]  -> writes <state-dir>/display (":N") once
#                                                          icewm manages it
#   x-fixture.sh stop <state-dir>
#   x-fixture.sh restart-wm <state-dir> [tray|notray]  -> icewm ends and starts again
# "notray" switches icewm's notification area off with its own preference (a taskbar and no
# tray, as on a desktop without one); the default is "tray". The screen is 1280x1024 unless WxH
# names another.
# Xvfb picks a free display number itself, so parallel runs never collide.
set -euo pipefail
cmd=$1
state=$2
mode=${3:-}
size=${4:-1280x1024}
deadline=30

running() {  # running <pid>: a process that ended but is not reaped yet (a zombie) has ended
  local s
  s=$(sed -n 's/^.*) \(.\).*/\1/p' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$s" ] && [ "$s" != Z ]
}

wait_for() {  # wait_for <description> <command...>
  local what=$1
  shift
  local start=$SECONDS
  until "$@" >/dev/null 2>&1; do
    if ((SECONDS - start > deadline)); then
      echo "x-fixture: timed out waiting for $what" >&2
      return 1
    fi
    sleep 0.1
  done
}

write_preferences() {  # write_preferences tray|notray
  local system_tray=1
  [ "$1" = notray ] && system_tray=0
  mkdir -p "$state/icewm"
  echo "$1" >"$state/mode"
  cat >"$state/icewm/preferences" <<PREFS
ShowTaskBar=1
TaskBarShowTray=1
TaskBarEnableSystemTray=$system_tray
TaskBarShowWorkspaces=0
TaskBarShowClock=0
TaskBarShowMailboxStatus=0
TaskBarShowCPUStatus=0
TaskBarShowNetStatus=0
TaskBarShowMEMStatus=0
TaskBarAutoHide=0
TaskBarAtTop=0
ShowPopupsAbovePointer=0
ClickToFocus=1
FocusOnAppRaise=1
RequestFocusOnAppRaise=1
PREFS
}

start_icewm() {
  ICEWM_PRIVCFG="$state/icewm" setsid icewm --config="$state/icewm/preferences" \
    >>"$state/icewm.log" 2>&1 </dev/null &
  echo $! >"$state/icewm.pid"
  # icewm manages the screen once it announces itself through _NET_SUPPORTING_WM_CHECK, and
  # the notification area exists once it owns the tray selection.
  wait_for "icewm" sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'
  wait_for "the taskbar" sh -c "xwininfo -root -tree | grep -q '\"TaskBar\"'"
  if [ "$(cat "$state/mode")" = tray ]; then
    wait_for "the notification area" sh -c "xwininfo -root -tree | grep -q '\"SystemTray\"'"
  fi
}

stop_pid() {  # stop_pid <name>
  if [ -f "$state/$1.pid" ]; then
    pid=$(cat "$state/$1.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do running "$pid" || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$state/$1.pid"
  fi
}

case $cmd in
start)
  "$0" stop "$state" || true
  mkdir -p "$state"
  rm -f "$state/display"
  exec 3>"$state/displayfd"
  setsid Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -ac -noreset \
    >"$state/xvfb.log" 2>&1 </dev/null &
  echo $! >"$state/xvfb.pid"
  exec 3>&-
  wait_for "Xvfb to choose a display" test -s "$state/displayfd"
  display=":$(head -n1 "$state/displayfd" | tr -d '[:space:]')"
  export DISPLAY=$display
  wait_for "Xvfb on $display" xdpyinfo
  # icewm with its own empty configuration: a taskbar (with the notification area unless
  # "notray"), no start-up programs, nothing from the user's home.
  write_preferences "${mode:-tray}"
  start_icewm
  echo "$display" >"$state/display"
  echo "x-fixture: X server $display with icewm ready"
  ;;
stop)
  stop_pid icewm
  stop_pid xvfb
  rm -f "$state/display"
  ;;
restart-wm)
  # The window manager goes away and comes back, as after a crash or a session restart.
  DISPLAY=$(cat "$state/display")
  export DISPLAY
  stop_pid icewm
  wait_for "icewm to leave" sh -c '! xwininfo -root -tree | grep -q "\"TaskBar\""'
  write_preferences "${mode:-$(cat "$state/mode")}"
  start_icewm
  echo "x-fixture: icewm restarted on $DISPLAY"
  ;;
*)
  echo "usage: $0 start|stop|restart-wm <state-dir> [tray|notray]" >&2
  exit 2
  ;;
esac
