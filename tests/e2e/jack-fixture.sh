#!/usr/bin/env bash
# Starts or stops a JACK server with the dummy driver under a given name, for end-to-end tests.
#   jack-fixture.sh start <server-name>   returns once the server answers
#   jack-fixture.sh stop <server-name>
set -euo pipefail

action=${1:?usage: jack-fixture.sh start|stop <server-name>}
name=${2:?usage: jack-fixture.sh start|stop <server-name>}
state="${TMPDIR:-/tmp}/quillbox-jack-${name}"
export JACK_NO_START_SERVER=1

answers() { jack_lsp -s "$name" >/dev/null 2>&1; }

case "$action" in
  start)
    if answers; then
      echo "jack-fixture: a server named $name already runs" >&2
      exit 1
    fi
    # Realtime, as a DJ's server runs: without it a busy machine starves the server's and its
    # clients' cycles, and a cycle a client misses loses the MIDI events sent to it. A machine
    # that refuses realtime scheduling gets a server without it (jackd says so in its log).
    setsid jackd -R -t 10000 -n "$name" -d dummy -r 48000 -p 256 >"$state.log" 2>&1 </dev/null &
    echo $! >"$state.pid"
    deadline=$((SECONDS + 30))
    until answers; do
      if ! kill -0 "$(cat "$state.pid")" 2>/dev/null; then
        echo "jack-fixture: jackd $name exited:" >&2
        cat "$state.log" >&2
        exit 1
      fi
      if ((SECONDS >= deadline)); then
        echo "jack-fixture: jackd $name did not answer within 30 s" >&2
        cat "$state.log" >&2
        exit 1
      fi
      sleep 0.05
    done
    echo "jack-fixture: server $name runs (pid $(cat "$state.pid"))"
    ;;
  stop)
    [ -f "$state.pid" ] || { echo "jack-fixture: $name was not started here"; exit 0; }
    pid=$(cat "$state.pid")
    kill -TERM "$pid" 2>/dev/null || true
    deadline=$((SECONDS + 15))
    killed=0
    while kill -0 "$pid" 2>/dev/null; do
      if ((SECONDS >= deadline)); then
        kill -KILL "$pid" 2>/dev/null || true
        killed=1
        break
      fi
      sleep 0.05
    done
    if ((killed)); then
      # A killed server keeps its JACK registry slot until one of its name stops cleanly.
      jackd --no-realtime -n "$name" -d dummy -r 48000 -p 256 >/dev/null 2>&1 </dev/null &
      again=$!
      deadline=$((SECONDS + 30))
      until answers || ((SECONDS >= deadline)); do sleep 0.05; done
      kill -TERM "$again" 2>/dev/null || true
      wait "$again" 2>/dev/null || true
    fi
    rm -f "$state.pid" "$state.log"
    echo "jack-fixture: server $name stopped"
    ;;
  *)
    echo "usage: jack-fixture.sh start|stop <server-name>" >&2
    exit 2
    ;;
esac
