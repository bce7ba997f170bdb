#!/usr/bin/env bash
# An SMC that keeps refusing the hand-back keeps the helper alive, retrying once a second with
# its socket already gone, until the fans are automatic again.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

start_serve
request "$SESSION_SOCK" '{"command":"set","fan":0,"rpm":2600}'
expect_eq "$(smc_get F0md)" 1 "fan 0 manual"
virtual-smc ctl fail F0md always rc 0xe00002bc write
kill -TERM "$helper"
sleep 3
kill -0 "$helper" 2>/dev/null || fail "helper exited with a fan in manual mode"
[[ ! -e $SESSION_SOCK ]] || fail "socket still there during the retries"
expect_eq "$(smc_get F0md)" 1 "fan 0 still manual while writes fail"
virtual-smc ctl clear F0md
wait_gone "$helper" 5
expect_eq "$exit_status" 0 "exit after the SMC recovered"
expect_fans_automatic
[[ ! -e $(dirname "$SESSION_SOCK") ]] || fail "directory left behind"
echo "teardown retry: ok"
