#!/usr/bin/env bash
# A fan that a killed helper left manual is handed back by the next start even when reading its
# mode fails: it leaves the crash record only once it has been read automatic, a request for it
# meanwhile is told that it is being handed back, and the user may take it afterwards. Prints how
# long the fan stayed manual after the start.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

# A daemon takes fan 0 manual and is killed; its record lists the fan.
leave_fan_manual() {
    start_daemon
    request "$DAEMON_SOCK" '{"command":"set","fan":0,"rpm":2400}'
    expect_eq "$(smc_get F0md)" 1 "fan 0 manual"
    kill -KILL "$helper"
    wait_gone "$helper"
    expect_eq "$(jq -c .fans "$MANUAL_RECORD")" '[0]' "the killed helper's record"
}

record_lists_fan0() { [[ -e $MANUAL_RECORD ]] && jq -e '.fans | index(0) != null' "$MANUAL_RECORD" >/dev/null; }

# Watches from T0 until fan 0 reads automatic and the record lets it go: whenever the record no
# longer lists the fan, it must already read automatic. Sets $manual_ms.
watch_hand_back() {
    local t0=$1 mode=
    manual_ms=
    while record_lists_fan0; do
        mode=$(smc_get F0md)
        [[ -z $manual_ms && $mode == 0 ]] && manual_ms=$(($(ms_now) - t0))
        (($(ms_now) - t0 < 15000)) || fail "fan 0 not handed back 15 s after the start (mode $mode)"
        sleep 0.02
    done
    expect_eq "$(smc_get F0md)" 0 "fan 0 once the record let it go"
    [[ -n $manual_ms ]] || manual_ms=$(($(ms_now) - t0))
}

# One failed read of the mode, the first the new helper makes.
leave_fan_manual
virtual-smc ctl fail F0md 1 rc 0xe00002bc read
t0=$(ms_now)
start_daemon
watch_hand_back "$t0"
expect_eq "$(virtual-smc ctl dump | jq -c .faults)" '[]' "the failed read was made"
echo "recovery with one failed read: fan 0 manual ${manual_ms} ms after the start"
request "$DAEMON_SOCK" '{"command":"set","fan":0,"rpm":2400}'
expect_eq "$(smc_get F0md)" 1 "fan 0 taken by the user again"
kill -TERM "$helper"
wait_gone "$helper" 10

# Reads failing for seconds: the fan stays listed, and a request for it is told why it waits.
leave_fan_manual
virtual-smc ctl fail F0md 50 rc 0xe00002bc read
t0=$(ms_now)
start_daemon
# The killed helper's socket file is still there: only an answer shows the new one serving.
wait_serving "$DAEMON_SOCK" 10
request "$DAEMON_SOCK" '{"command":"set","fan":0,"rpm":2600}'
expect_eq "$(jq -r .error <<<"$reply")" "자동 제어 복귀를 확인하는 중입니다." "request while the fan is unconfirmed"
watch_hand_back "$t0"
echo "recovery with reads failing: fan 0 manual ${manual_ms} ms after the start"
request "$DAEMON_SOCK" '{"command":"set","fan":0,"rpm":2400}'
expect_eq "$(smc_get F0md)" 1 "fan 0 taken by the user after the hand-back"

kill -TERM "$helper"
wait_gone "$helper" 10
expect_eq "$exit_status" 0 "exit after SIGTERM"
expect_fans_automatic
[[ ! -e $MANUAL_RECORD ]] || fail "record left after a clean end: $(cat "$MANUAL_RECORD")"
echo "recovery read failure: ok"
