#!/usr/bin/env bash
# Runs the datagram-to-MIDI benchmark against a fresh JACK server (dummy driver) and a fresh
# bridge.   bench/run-bench.sh [build-dir] [scale]
set -euo pipefail
build=${1:-build/release}
scale=${2:-1}
here=$(cd "$(dirname "$0")" && pwd)
state=$(mktemp -d)
server="quillbox-bench-$$"
cleanup() {
  [ -n "${bridge:-}" ] && kill "$bridge" 2>/dev/null && wait "$bridge" 2>/dev/null || true
  [ -n "${jackpid:-}" ] && kill "$jackpid" 2>/dev/null || true
  rm -rf "$state"
}
trap cleanup EXIT

export JACK_DEFAULT_SERVER=$server JACK_NO_START_SERVER=1 JACK_NO_AUDIO_RESERVATION=1
jackd --no-realtime -n "$server" -d dummy -r 48000 -p 64 >"$state/jack.log" 2>&1 &
jackpid=$!
for _ in $(seq 100); do jack_lsp >/dev/null 2>&1 && break; sleep 0.1; done

env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$state" "$build/app/quillbox" \
  >"$state/bridge.log" 2>&1 &
bridge=$!
for _ in $(seq 100); do jack_lsp 2>/dev/null | grep -q quillbox && break; sleep 0.1; done
"$build/bench/quillbox_bench" "$bridge" "$scale"
