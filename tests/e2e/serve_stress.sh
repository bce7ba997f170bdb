#!/usr/bin/env bash
# Stress of one serve session: 10,000 requests in a row from the session user, 200 connection
# attempts from another user (none may receive a byte) while the session goes on, 50 clients
# that never finish their line, each answered after about a second with the session user's own
# requests answered in between; the helper holds as many descriptors afterwards as before.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
requests=${STRESS_REQUESTS:-10000}

start_serve
fds_before=$(ls /proc/"$helper"/fd | wc -l)

# Root may open the socket file but is not the session user; "other" may not even open it.
serve_load "$SESSION_SOCK" refused 200 &
foreign=$!
as_user vane serve_load "$SESSION_SOCK" requests "$requests" '{"command":"heartbeat"}'
wait "$foreign" || fail "a peer of another user received bytes"
as_user other serve_load "$SESSION_SOCK" refused 20 || fail "a peer of another user received bytes"

as_user vane serve_load "$SESSION_SOCK" silent 50

fds_after=$(ls /proc/"$helper"/fd | wc -l)
expect_eq "$fds_after" "$fds_before" "open descriptors of the helper"
kill -0 "$helper" || fail "helper ended during the stress"
request "$SESSION_SOCK" '{"command":"quit"}'
wait_gone "$helper"
expect_eq "$exit_status" 0 "helper exit"
echo "serve stress: ok ($fds_before descriptors before and after)"
