#!/usr/bin/env bash
# Daemon mode beside a flood of clients of the session user that run from a 64 GiB sparse copy
# of the pinned client (the same program, another code hash): judging them stays cheap, so the
# pinned client is served, the heat trip hands the fan back on time, and a stop signal ends the
# daemon at once.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

start_daemon

huge=/tmp/vane/huge-client
install -o vane -g vane -m 0755 "$client" "$huge"
truncate -s 64G "$huge"
flood() {
    while :; do as_user vane "$huge" "$DAEMON_SOCK" '{"command":"ping"}' >/dev/null 2>&1 || true; done
}
flood &
flooder=$!
trap 'kill "$flooder" 2>/dev/null || true' EXIT

began=$(ms_now)
request "$DAEMON_SOCK" '{"command":"set","fan":0,"rpm":2400}'
expect_eq "$(smc_get F0md)" 1 "fan 0 manual beside the flood"
echo "set answered in $(($(ms_now) - began)) ms"

virtual-smc ctl set Tp01 95
began=$(ms_now)
for _ in $(seq 100); do [[ $(smc_get F0md) == 0 ]] && break; sleep 0.05; done
tripped=$(($(ms_now) - began))
expect_eq "$(smc_get F0md)" 0 "fan 0 handed back after the trip"
echo "heat trip handed the fan back in $tripped ms"
((tripped < 3000)) || fail "the trip took $tripped ms"

began=$(ms_now)
kill -TERM "$helper"
wait_gone "$helper" 5
echo "stopped in $(($(ms_now) - began)) ms"
expect_eq "$exit_status" 0 "daemon exit"
expect_fans_automatic
echo "sparse peers: ok"
