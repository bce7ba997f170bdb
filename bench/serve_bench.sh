#!/usr/bin/env bash
# Figures of a serving fan helper, run inside the simulated machine:
#   sim/machine bash bench/serve_bench.sh
# Round trips of "ping" and "heartbeat", CPU time of an idle helper over 60 seconds (daemon
# mode, no client), and resident memory.
set -euo pipefail
. "$(dirname "$0")/../tests/e2e/lib.sh"
idle_seconds=${IDLE_SECONDS:-60}

echo "serve_bench: 2000 round trips, then ${idle_seconds} s of an idle daemon (about $((idle_seconds + 10)) s in all)" >&2
start_serve
as_user vane serve_load "$SESSION_SOCK" requests 1000 '{"command":"ping"}'
as_user vane serve_load "$SESSION_SOCK" requests 1000 '{"command":"heartbeat"}'
echo "resident memory of a serving helper: $(awk '/VmRSS/ {print $2, $3}' /proc/"$helper"/status), peak $(awk '/VmHWM/ {print $2, $3}' /proc/"$helper"/status)"
request "$SESSION_SOCK" '{"command":"quit"}'
wait_gone "$helper"

hash=$(sha256sum "$(command -v fan-client)" | cut -c1-40)
Airvane --daemon 501 "$hash" &
helper=$!
wait_for "$DAEMON_SOCK"
sleep 1
echo "serve_bench: measuring the idle daemon for ${idle_seconds} s" >&2
ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' /proc/"$helper"/stat; }
before=$(cpu)
sleep "$idle_seconds"
after=$(cpu)
awk -v t="$((after - before))" -v hz="$ticks" -v s="$idle_seconds" \
    'BEGIN {printf "idle daemon: %.3f s of CPU in %d s = %.4f %% of one core\n", t / hz, s, 100 * t / hz / s}'
echo "resident memory of an idle daemon: $(awk '/VmRSS/ {print $2, $3}' /proc/"$helper"/status)"
kill -TERM "$helper"
wait_gone "$helper"
