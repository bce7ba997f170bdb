#!/usr/bin/env bash
# A newer machine without the unlock key: the mode key switches at once and nothing touches
# "Ftst"; a failed target write hands the fan back before the error is reported.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

start_serve
t0=$(date +%s%N)
request "$SESSION_SOCK" '{"command":"setAll","rpm":3000}'
ms=$((($(date +%s%N) - t0) / 1000000))
expect_eq "$(jq -c '[.snapshot.controlled, has("error")]' <<<"$reply")" '[[0,1],false]' "both fans at once"
((ms < 1000)) || fail "direct switch took ${ms} ms"
virtual-smc ctl get Ftst >/dev/null 2>&1 && fail "this profile should have no Ftst"
request "$SESSION_SOCK" '{"command":"auto"}'

virtual-smc ctl fail F1Tg 1 rc 0xe00002bc write
request "$SESSION_SOCK" '{"command":"set","fan":1,"rpm":2800}'
expect_eq "$(jq -r '.error' <<<"$reply")" "F1Tg 접근 실패 (0xe00002bc)" "failed target write"
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[]' "handed back after the failure"
expect_eq "$(smc_get F1md)" 0 "fan 1 mode"
request "$SESSION_SOCK" '{"command":"quit"}'
wait_gone "$helper"
echo "control direct: ok (switch of both fans in ${ms} ms)"
