#!/usr/bin/env bash
# Runs the floor (bench/floor.cpp) and quillbox by turns (floor, the floor on Qt's event loop,
# quillbox, floor, quillbox, floor, quillbox with its debug view) against one JACK server
# (dummy driver, realtime, 64-frame period) and one MIDI sink, and prints what each cost and
# the ratios to the floor:
#   - steady: 1,000 seek datagrams a second for 10 s, twice in a row (JACK's client thread now
#     and then wakes a fifth more often in a round, in every program, and moves its cost);
#   - burst: 50,000 back to back, three times in a row (a burst is short, and where the
#     scheduler puts the bridge beside the sender moves one burst's cost by a third);
#   - quillbox's steady round again with its debug view on, the window shown, and a night:
#     120,000 seeks at 3,000 a second through the debug log with a probe every 20,000 (its
#     anonymous memory at the end is that of a log at its 100,000-line cap);
#   - last, quillbox with MIDI beat clock and 25 fps quarter frames on, and a deck at 128 BPM:
#     the streams' tick-to-tick jitter by the JACK frames they arrive at (bench/jitter.cpp).
# quillbox runs on a private Xvfb with icewm (tests/e2e/x-fixture.sh), so it paints and goes
# into the notification area as on a desktop; all run under the allocation counter.
#
#   unshare -n sh -c 'ip link set lo up && bench/run-bench.sh [build-dir]'
#
# A network namespace of its own keeps UDP port 10001 and the kernel's UDP counters (which
# tell the datagrams dropped for a full receive buffer) to the benchmark alone.
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
state=$(mktemp -d)
server=${QB_BENCH_SERVER:-quillbox-bench-$$}
bench=$build/bench/quillbox_bench
alloc=$build/bench/libquillbox_alloccount.so
xfix=$here/../tests/e2e/x-fixture.sh
results=$state/results
bridge=${QB_BENCH_QUILLBOX:-$build/app/quillbox}  # another build of quillbox, to compare

cleanup() {
  for p in ${target:-} ${jackpid:-}; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null || true; done
  "$xfix" stop "$state/x" >/dev/null 2>&1 || true
  rm -rf "$state"
}
trap cleanup EXIT

wait_for() {  # wait_for <seconds> <command...>
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

export JACK_DEFAULT_SERVER=$server JACK_NO_START_SERVER=1 JACK_NO_AUDIO_RESERVATION=1
start_jack() {
  jackd "$1" -n "$server" -d dummy -r 48000 -p 64 >"$state/jack.log" 2>&1 &
  jackpid=$!
  wait_for 10 jack_lsp
}
start_jack -R
realtime="realtime (-R)"

# run_target <name> <alloc-counter> <port-pattern> <rounds...>: measures the running $target.
run_target() {
  local name=$1 counter=$2 pattern=$3
  shift 3
  "$bench" run "$name" "$target" "$counter" "$pattern" "$@" | tee -a "$results" >&2
}

# The floor's plain rounds; they run before, between and after quillbox's two, and the ratios
# are of each side's rounds together, so that a busy moment of the machine weighs on both
# sides alike. The loop floor (the floor on Qt's event loop) runs once, beside them, for what
# the loop itself costs.
run_floor() {  # run_floor <name> <n> [--loop]
  QB_ALLOC_COUNTER=$state/$1$2.alloc LD_PRELOAD=$alloc "$build/bench/quillbox_floor" ${3:-} \
    >>"$state/floor.log" 2>&1 &
  target=$!
  wait_for 10 sh -c "jack_lsp | grep -q '^quillbox-$1:'"
  run_target "$1" "$state/$1$2.alloc" "^quillbox-$1:" steady steady burst burst burst
  kill "$target" && wait "$target" 2>/dev/null || true
  target=
  wait_for 10 sh -c "! jack_lsp | grep -q '^quillbox-$1:'"
}

window() { xdotool search --name "^brindle's quillbox$" | head -n1; }
viewable() {  # viewable yes|no: the window exists and is (or is not) shown, asked afresh each time
  local w
  w=$(window)
  [ -n "$w" ] || return 1
  if xwininfo -id "$w" | grep -q IsViewable; then [ "$1" = yes ]; else [ "$1" = no ]; fi
}
tray_icon() {
  xwininfo -root -tree | awk '/"YXTrayEmbedder"/ {e = 1} e && /"quillbox": \("quillbox"/ {print $1; exit}'
}
# quillbox, on a desktop of its own. Two seconds after start it leaves for the notification
# area, as on a desktop: the icon is there and the window is gone, so that no plain round pays
# for painting the window.
start_quillbox() {  # start_quillbox <n>
  XDG_CONFIG_HOME=$state XDG_RUNTIME_DIR=$state QB_ALLOC_COUNTER=$state/quillbox$1.alloc LD_PRELOAD=$alloc \
    "$bridge" >>"$state/quillbox.log" 2>&1 &
  target=$!
  wait_for 20 sh -c 'jack_lsp | grep -q "^quillbox:"'
  wait_for 20 sh -c "xwininfo -root -tree | awk '/\"YXTrayEmbedder\"/ {e = 1} e && /\"quillbox\": \\(\"quillbox\"/ {f = 1} END {exit !f}'"
  wait_for 20 viewable no
}
stop_quillbox() {
  kill -TERM "$target" && wait "$target" 2>/dev/null || true
  target=
  wait_for 10 sh -c '! jack_lsp | grep -q "^quillbox:"'
}

"$xfix" start "$state/x" >/dev/null
export DISPLAY=$(cat "$state/x/display")

run_floor floor 1
run_floor loopfloor 1 --loop
for n in 1 2; do
  start_quillbox $n
  run_target quillbox "$state/quillbox$n.alloc" "^quillbox:" steady steady burst burst burst
  stop_quillbox
  run_floor floor $((n + 1))
done

# The debug view: back from the tray with a double click, then "Debug" ticked.
start_quillbox 3
icon=$(tray_icon)
xdotool mousemove --window "$icon" 12 12 click --repeat 2 --delay 80 1
wait_for 10 viewable yes
w=$(window)
xdotool mousemove --window "$w" 14 72 click 1
wait_for 10 sh -c "xwininfo -id $w | awk '/Width:/ {exit !(\$2 > 600)}'"
run_target quillbox+debug "$state/quillbox3.alloc" "^quillbox:" steady steady night
stop_quillbox

# The sync streams: MIDI beat clock and 25 fps quarter frames switched on, a deck at 128 BPM for
# 20 s, each stream's tick-to-tick spacing from the frames the sink saw them at.
mkdir -p "$state/quillbox"
printf '[Software]\nQuillbox\\Device=0\nQuillbox\\MidiClock=1\nQuillbox\\MtcRate=25\n' \
  >"$state/quillbox/quillbox.ini"
start_quillbox 4
"$build/bench/quillbox_jitter" "^quillbox:" 20 >>"$results"
stop_quillbox

# jackd goes on without realtime when the machine refuses it, and says so in its log.
if grep -qi "cannot use real-time\|cannot lock down" "$state/jack.log"; then
  realtime="started with -R, but the machine refused realtime scheduling"
fi
echo
echo "JACK: dummy driver, 48 kHz, 64 frames (1.33 ms), $realtime"
"$bench" table "$results"
grep "^probes" "$results" || true
echo
echo "sync streams: tick-to-tick spacing by JACK frame (one frame is 20.8 us)"
grep "^jitter" "$results" | cut -f2- || true
echo
echo "threads, in the order they were made (1: the main thread): ms run / times scheduled"
grep "^threads" "$results" | cut -f2- || true
