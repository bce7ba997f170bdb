#!/usr/bin/env bash
# Heartbeat lapse: "ping" never keeps a session alive; 12 s after the last heartbeat the helper
# hands the fans back and ends.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

start_serve
start=$(date +%s.%N)
request "$SESSION_SOCK" '{"command":"set","fan":1,"rpm":2500}'
expect_eq "$(smc_get F1md)" 1 "fan 1 manual"
beat=$(date +%s.%N)
for _ in 1 2 3 4 5 6 7 8 9; do
    kill -0 "$helper" 2>/dev/null || break
    reply=$(as_user vane fan-client "$SESSION_SOCK" '{"command":"ping"}' 2>/dev/null) || true
    [[ -z $reply || $reply == '{}' ]] || fail "ping answered $reply"
    sleep 1
done
wait_gone "$helper" 8
ended=$(date +%s.%N)
expect_eq "$exit_status" 0 "helper exit"
lapse=$(awk "BEGIN{print $ended - $beat}")
awk "BEGIN{exit !($lapse >= 11.5 && $lapse < 15)}" || fail "ended ${lapse}s after the last heartbeat"
expect_fans_automatic
expect_session_gone "after the lapse"
echo "serve lapse: ok (ended ${lapse}s after the heartbeat, $(awk "BEGIN{print $ended - $start}")s after start)"
