#!/usr/bin/env bash
# Figures of the guardian daemon, run inside the simulated machine:
#   sim/machine bash bench/guardian_bench.sh
# Round trips of "ping" and of "start" plus "stop" through the front end's client (in process,
# and through the vigilon-client program), CPU time of the daemon over 60 seconds without and
# with a session, and its resident memory.
set -euo pipefail
. "$(dirname "$0")/../tests/e2e/guardian_lib.sh"
count=${COUNT:-200}
idle_seconds=${IDLE_SECONDS:-60}

echo "guardian_bench: ${count} pings and ${count} start-stop pairs, then the idle daemon for ${idle_seconds} s without and ${idle_seconds} s with a session (about $((2 * idle_seconds + count / 5)) s in all)" >&2

# The benchmark program is the registered front end.
client_hash=$(hash_of /usr/local/bin/guardian_client_bench)
run_capture "$sim/install-guardian" 501 "$client_hash" "$guardian"
expect_eq "$status" 0 "install: $err"
guardian_hash=$(hash_of "$helper")
until_true watcher_ready
daemon=$(watcher_pid)

as_user vane guardian_client_bench "$guardian_hash" "$count"

ticks=$(getconf CLK_TCK)
own_cpu() { awk '{print $14 + $15}' /proc/"$daemon"/stat; }
child_cpu() { awk '{print $16 + $17}' /proc/"$daemon"/stat; }
measure() {
    local what=$1 own0 kids0 own1 kids1
    echo "guardian_bench: measuring the daemon's CPU for ${idle_seconds} s ($what)" >&2
    own0=$(own_cpu) kids0=$(child_cpu)
    sleep "$idle_seconds"
    own1=$(own_cpu) kids1=$(child_cpu)
    awk -v o="$((own1 - own0))" -v k="$((kids1 - kids0))" -v hz="$ticks" -v s="$idle_seconds" -v w="$what" \
        'BEGIN {printf "%s: daemon %.2f s of CPU in %d s = %.3f %% of one core; its tools %.2f s = %.3f %%\n",
                w, o / hz, s, 100 * o / hz / s, k / hz, 100 * k / hz / s}'
}
memory() { echo "resident memory $1: $(awk '/VmRSS/ {print $2, $3}' /proc/"$daemon"/status), peak $(awk '/VmHWM/ {print $2, $3}' /proc/"$daemon"/status)"; }

memory "after the round trips"
measure "no session"
as_user vane guardian_client_bench "$guardian_hash" 0 >/dev/null
[[ -e $data/owned ]] || fail "no session for the measurement"
measure "with a session"
memory "with a session"
/bin/launchctl bootout "$target"
