#!/usr/bin/env bash
# Who may talk to a session and how a request line is read.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

start_serve

# Another user, root included, is closed without a single byte.
for user in other root; do
    got=$(printf '{"command":"ping"}\n' | raw_exchange "$user" "$SESSION_SOCK" 2>/dev/null | wc -c || true)
    expect_eq "$got" 0 "bytes sent to $user"
done

# A silent client is told after about a second that the connection was lost.
got=$(sleep 3 | raw_exchange vane "$SESSION_SOCK")
expect_eq "$got" '{"error":"보조 프로세스 연결이 끊겼습니다."}' "silent client"

# A client that trickles bytes runs into the 1-second deadline: each byte does not buy more time,
# so the answer comes while most of the request is still unsent.
run_capture as_user vane fan-client --trickle "$SESSION_SOCK" '{"command":"ping"}'
expect_eq "$out" '{"error":"요청 크기 초과"}' "slow client"
[[ $err =~ sent\ ([0-9]+)\ of\ 18 ]] || fail "slow client: $err"
((BASH_REMATCH[1] < 18)) || fail "slow client: the deadline moved with each byte ($err)"

# 16383 bytes and a line feed are read; 16384 bytes without one are too many.
line='{"command":"ping","pad":"'
line+=$(head -c $((16383 - ${#line} - 2)) /dev/zero | tr '\0' 'x')'"}'
expect_eq "${#line}" 16383 "padded line length"
got=$(printf '%s\n' "$line" | raw_exchange vane "$SESSION_SOCK")
expect_eq "$got" '{}' "16383-byte request"
got=$( (head -c 16384 /dev/zero | tr '\0' ' '; sleep 2) | raw_exchange vane "$SESSION_SOCK")
expect_eq "$got" '{"error":"요청 크기 초과"}' "16384 bytes without a line feed"

# Only the first line is read and answered.
got=$(printf '{"command":"ping"}\n{"command":"quit"}\n' | raw_exchange vane "$SESSION_SOCK")
expect_eq "$got" '{}' "first line only"
kill -0 "$helper" || fail "the second line was carried out"

# A client that hangs up right after sending still has its request carried out.
printf '{"command":"set","fan":0,"rpm":2100}\n' | as_user vane socat -t 0 - "UNIX-CONNECT:$SESSION_SOCK" >/dev/null 2>&1 || true
for _ in $(seq 100); do [[ $(smc_get F0md) == 1 ]] && break; sleep 0.05; done
expect_eq "$(smc_get F0md)" 1 "request of a client that hung up"
request "$SESSION_SOCK" '{"command":"quit"}'
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[]' "quit"
wait_gone "$helper"
expect_fans_automatic
echo "serve peers: ok"
