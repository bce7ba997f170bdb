#!/usr/bin/env bash
# A whole serve session: ping, set, heartbeat, auto, set again, quit; then nothing is left behind.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

start_serve
expect_eq "$(stat -c '%U %G %a' "$SESSION_SOCK")" "vane root 600" "socket owner and mode"
expect_eq "$(stat -c '%U %a' "$(dirname "$SESSION_SOCK")")" "root 711" "directory owner and mode"

request "$SESSION_SOCK" '{"command":"ping"}'
expect_eq "$reply" '{}' "ping"

request "$SESSION_SOCK" '{"command":"set","fan":0,"rpm":3000}'
expect_eq "$(jq -c '[.snapshot.controlled, .snapshot.fans[0].mode, .snapshot.fans[0].target, has("error")]' <<<"$reply")" \
    '[[0],1,3000,false]' "set reply"
grep -q '"target":3000.0' <<<"$reply" || fail "target written without its fraction: $reply"
expect_eq "$(smc_get F0md)" 1 "fan 0 manual"

# The array form, and a ceiling that lowers the running target.
request "$SESSION_SOCK" '["heartbeat",null,null,2500]'
expect_eq "$(jq -c '.snapshot.fans[0].target' <<<"$reply")" '2500' "ceiling applied"

request "$SESSION_SOCK" '{"command":"auto"}'
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[]' "auto reply"
expect_fans_automatic

request "$SESSION_SOCK" '{"command":"setAll","rpm":2000,"fan":7}'
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[0,1]' "setAll reply"

request "$SESSION_SOCK" '{"command":"set","fan":0}'
expect_eq "$(jq -r '.error' <<<"$reply")" "RPM 요청 오류" "set without rpm"
request "$SESSION_SOCK" '{"command":"spin"}'
expect_eq "$(jq -r '.error' <<<"$reply")" "허용하지 않는 명령" "unknown command"
request "$SESSION_SOCK" '{"command":"set","fan":1.0,"rpm":2000}'
expect_eq "$reply" '{"error":"The data couldn’t be read because it isn’t in the correct format."}' "malformed"

request "$SESSION_SOCK" '{"command":"quit"}'
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[]' "quit reply"
wait_gone "$helper"
expect_eq "$exit_status" 0 "helper exit"
expect_session_gone "after quit"
expect_fans_automatic
echo "serve session: ok"
