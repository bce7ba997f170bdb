#!/usr/bin/env bash
# Startup refusals: busy lock, foreign lock file, existing session directory, bad session id,
# and the daemon directory rules.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
busy="Tavrin: Tavrin 제어 세션이 이미 실행 중입니다. 잠시 후 다시 시도하세요."
hash=0123456789abcdef0123456789abcdef01234567

# A second instance while one serves: refused, the first keeps serving.
start_serve
run_capture Airvane --serve 501 1A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9
expect_eq "$status:$err" "1:$busy" "second instance"
run_capture Airvane --daemon 501 "$hash"
expect_eq "$status:$err" "1:$busy" "daemon beside a session"
request "$SESSION_SOCK" '{"command":"heartbeat"}'
jq -e '.snapshot' <<<"$reply" >/dev/null || fail "first instance stopped serving"
request "$SESSION_SOCK" '{"command":"quit"}'
wait_gone "$helper"

# A malformed session id: refused after the lock was taken, which is then free again.
run_capture Airvane --serve 501 0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F
expect_eq "$status:$err" "1:Tavrin: 잘못된 세션 ID" "bad session id"
expect_lock_free

# An existing session directory is never reused in serve mode, and is left as it was.
mkdir -m 700 "$(dirname "$SESSION_SOCK")"
run_capture Airvane --serve 501 "$UUID"
expect_eq "$status:$err" "1:Tavrin: 세션 디렉터리 생성 실패" "existing session directory"
expect_eq "$(stat -c %a "$(dirname "$SESSION_SOCK")")" 700 "existing directory untouched"
rmdir "$(dirname "$SESSION_SOCK")"

# The daemon reuses a root-owned directory that nobody else can write, and clears a stale socket.
for mode in 700 711; do
    mkdir -m "$mode" /var/run/tavrin
    touch "$DAEMON_SOCK"
    Airvane --daemon 501 "$hash" &
    helper=$!
    for _ in $(seq 40); do [[ -S $DAEMON_SOCK ]] && break; sleep 0.05; done
    [[ -S $DAEMON_SOCK ]] || fail "daemon did not bind over a stale file (mode $mode)"
    expect_eq "$(stat -c %a /var/run/tavrin)" 711 "daemon directory mode (was $mode)"
    kill -TERM "$helper"
    wait_gone "$helper"
    expect_eq "$exit_status" 0 "daemon exit"
    [[ ! -e /var/run/tavrin ]] || fail "daemon directory left behind"
done
mkdir -m 775 /var/run/tavrin
run_capture Airvane --daemon 501 "$hash"
expect_eq "$status:$err" "1:Tavrin: 세션 디렉터리 생성 실패" "group-writable daemon directory"
rmdir /var/run/tavrin
ln -s /tmp /var/run/tavrin
run_capture Airvane --daemon 501 "$hash"
expect_eq "$status:$err" "1:Tavrin: 세션 디렉터리 생성 실패" "daemon directory as a link"
rm /var/run/tavrin

# A lock file owned by someone else means busy, even with no instance running; a link is not followed.
chown vane /var/run/fantavrin.lock
run_capture Airvane --serve 501 "$UUID"
expect_eq "$status:$err" "1:$busy" "foreign lock file"
rm /var/run/fantavrin.lock
ln -s /tmp/vane/planted /var/run/fantavrin.lock
run_capture Airvane --serve 501 "$UUID"
expect_eq "$status:$err" "1:Tavrin: 제어 잠금 파일 생성 실패" "lock file as a link"
[[ ! -e /tmp/vane/planted ]] || fail "the link was followed"
echo "serve refusals: ok"
