#!/bin/sh
# The Manager demo: builds the tree, then, inside the tests' throwaway
# sandbox, starts kiv, a client registered for restart with a heartbeating
# watchdog thread, kills it, stalls its thread, restarts the Manager, and
# shows `kivctl status` between the steps. Needs root (namespaces); takes
# well under a minute once built.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}

if [ "${1:-}" != "--inside" ]; then
  "$ROOT/scripts/install-deps.sh"
  echo "== configuring in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" >/dev/null
  # A first build takes minutes: show each step; keep the whole output for
  # a failure.
  echo "== building kiv, kivctl, kiv-sandbox and the sample client (full log: $BUILD/demo-build.log)"
  { cmake --build "$BUILD" -j2 --target kiv_manager kivctl kiv_sandbox ha_client 2>&1; echo "build status $?"; } |
    tee "$BUILD/demo-build.log" | grep --line-buffered -E '^\[ *[0-9]+%\] (Building|Linking)' | sed 's/^/   /'
  if ! tail -n 1 "$BUILD/demo-build.log" | grep -qx 'build status 0'; then
    echo "== the build failed:"
    tail -n 30 "$BUILD/demo-build.log"
    exit 1
  fi
  echo "== built"
  exec "$BUILD/tools/kiv-sandbox" /bin/sh "$ROOT/scripts/demo.sh" --inside
fi

# ---- inside the sandbox from here on: nothing written reaches the host.
KIV="$BUILD/tools/kiv"
KIVCTL="$BUILD/tools/kivctl"
# The sample client (examples/ha_client.c): registers itself for restart and
# runs a worker thread under the watchdog that beats every 100 ms.
CLIENT="$BUILD/examples/ha_client"
# Device processes have their data directory set; without it every
# registration would say so on stdout.
export DATA_TALU_DIR=/data/.talu
LOG=/tmp/kiv.log
SCALE=0.02   # every duration of the Manager runs 50 times faster
shown=0
# A duration of the Manager, in seconds, as it runs here.
scaled() { awk -v s="$1" -v k="$SCALE" 'BEGIN { printf "%g", s * k }'; }

say() { printf '\n== %s\n' "$*"; }
# The Manager's log lines since the last call.
news() {
  sleep "${1:-0.3}"
  total=$(wc -l < "$LOG")
  tail -n +"$((shown + 1))" "$LOG" | head -n "$((total - shown))" | sed 's/^[^k]*kiv: /   kiv| /'
  shown=$total
}
status() { "$KIVCTL" status | sed 's/^/   ctl| /' || true; }
start_kiv() {
  "$KIV" -s "$SCALE" >>"$LOG" 2>&1 &
  KIV_PID=$!
  until "$KIVCTL" status >/dev/null 2>&1; do sleep 0.05; done
}
client_pid() { pgrep -n -f "^$CLIENT" || true; }
cleanup() { kill -9 "$KIV_PID" 2>/dev/null || true; pkill -9 -f "^$CLIENT" 2>/dev/null || true; }
trap cleanup EXIT

say "Starting the Manager (kiv -s $SCALE): every duration runs $(awk -v k="$SCALE" 'BEGIN { printf "%g", 1 / k }') times faster"
for d in "watchdog window (a thread without progress is hung):120" "sampling of a watched thread:5" "delay after the second quick death in a row:1" \
         "longest such delay:30" "a run this long clears the delay:30" "window of at most 5 restarts:60"; do
  printf '   %-52s %4s s -> %s s\n' "${d%:*}" "${d##*:}" "$(scaled "${d##*:}")"
done
: > "$LOG"
start_kiv
news 0.1

say "Starting a client: it registers for restart and runs a watchdog thread that beats every 100 ms"
"$CLIENT" &
news 0.5
status

PID=$(client_pid)
say "Killing the client (pid $PID) with SIGKILL: the Manager starts it again"
kill -9 "$PID"
news 0.5
echo "   the client now runs as pid $(client_pid)"

PID=$(client_pid)
say "Making its thread stop beating: after 120 s ($(scaled 120) s here) without progress the thread is hung"
kill -USR2 "$PID"
news 3.5
echo "   the client now runs as pid $(client_pid)"
status

say "Killing the Manager with SIGKILL and starting it again: it takes the registration over"
kill -9 "$KIV_PID"
wait "$KIV_PID" 2>/dev/null || true
start_kiv
news 0.5
PID=$(client_pid)
echo "   killing the client (pid $PID) once more"
kill -9 "$PID"
news 0.5
echo "   the client now runs as pid $(client_pid)"
status

say "Stopping the Manager with SIGTERM: it leaves /data/.kiv_status so that clients stand down"
kill -TERM "$KIV_PID"
wait "$KIV_PID" || true
news 0.1
[ -e /data/.kiv_status ] && echo "   /data/.kiv_status present"
say "Done"
