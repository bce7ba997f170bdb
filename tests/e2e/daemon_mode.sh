#!/usr/bin/env bash
# Daemon mode: only the client build named by its code hash gets through; quit ends the client's
# session but not the daemon; a lapse hands the fans back and the daemon goes on.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

start_daemon

request "$DAEMON_SOCK" '{"command":"ping"}'
expect_eq "$reply" '{}' "ping from the pinned client"

# Another program of the same user (here socat) is closed without a byte.
got=$(printf '{"command":"ping"}\n' | raw_exchange vane "$DAEMON_SOCK" 2>/dev/null | wc -c || true)
expect_eq "$got" 0 "bytes sent to another program"
# The pinned program run by another user is refused as well.
got=$(as_user other fan-client "$DAEMON_SOCK" '{"command":"ping"}' 2>/dev/null | wc -c || true)
expect_eq "$got" 0 "bytes sent to another user"

request "$DAEMON_SOCK" '{"command":"set","fan":0,"rpm":2400}'
expect_eq "$(smc_get F0md)" 1 "fan 0 manual"
request "$DAEMON_SOCK" '{"command":"quit"}'
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[]' "quit"
expect_fans_automatic
kill -0 "$helper" || fail "daemon ended on quit"

# A lapse in daemon mode restores and keeps serving.
request "$DAEMON_SOCK" '{"command":"set","fan":1,"rpm":2400}'
expect_eq "$(smc_get F1md)" 1 "fan 1 manual"
for _ in $(seq 300); do [[ $(smc_get F1md) == 0 ]] && break; sleep 0.05; done
expect_eq "$(smc_get F1md)" 0 "fan 1 back after the lapse"
request "$DAEMON_SOCK" '{"command":"heartbeat"}'
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[]' "after the lapse"

kill -TERM "$helper"
wait_gone "$helper"
expect_eq "$exit_status" 0 "daemon exit"
[[ ! -e /var/run/tavrin ]] || fail "daemon directory left behind"
expect_fans_automatic
echo "daemon mode: ok"
