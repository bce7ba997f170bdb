#!/usr/bin/env bash
# The manual-control paths through the real helper and the virtual SMC: a switch refused until
# the unlock key has been set long enough, a mode that lags on its way back, a mode that stays
# manual (the helper keeps retrying and refuses new work meanwhile), refused writes, heat.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

# Heartbeats until the snapshot shows no fan under manual control (at most about 6 s); the last
# reply stays in $reply.
heartbeat_until_released() {
    for _ in $(seq 60); do
        request "$SESSION_SOCK" '{"command":"heartbeat"}'
        [[ $(jq -c '.snapshot.controlled' <<<"$reply") == '[]' ]] && return
        sleep 0.1
    done
}

start_serve

# Refused until "Ftst" has read 1 for the unlock delay: the helper waits, then switches.
t0=$(date +%s%N)
request "$SESSION_SOCK" '{"command":"set","fan":0,"rpm":2500}'
ms=$((($(date +%s%N) - t0) / 1000000))
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[0]' "switch through the unlock"
((ms >= 300)) || fail "switched after ${ms} ms, before the unlock delay"
expect_eq "$(smc_get Ftst)" 1 "Ftst held while a fan is manual"

# The mode lags on its way back (release delay 0.5 s): "auto" still confirms.
request "$SESSION_SOCK" '{"command":"auto"}'
expect_eq "$(jq -c '[.snapshot.controlled, has("error")]' <<<"$reply")" '[[],false]' "auto with a lagging mode"
expect_fans_automatic

# Mode writes refused a few times after the unlock: retried every 0.1 s until accepted.
request "$SESSION_SOCK" '{"command":"set","fan":1,"rpm":2500}'
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[1]' "fan 1 manual"
request "$SESSION_SOCK" '{"command":"auto"}'
virtual-smc ctl refuse F0md 3
request "$SESSION_SOCK" '{"command":"set","fan":0,"rpm":2700}'
expect_eq "$(jq -c '[.snapshot.controlled, has("error")]' <<<"$reply")" '[[0],false]' "switch after refusals"

# A mode that stays manual: the hand-back is not confirmed, new work is refused, and the safety
# check keeps retrying until the SMC lets go.
virtual-smc ctl stuck on 0
request "$SESSION_SOCK" '{"command":"auto"}'
expect_eq "$(jq -r '.error' <<<"$reply")" "자동 제어 복귀를 확인하지 못했습니다. " "auto on a stuck fan"
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[0]' "stuck fan still listed"
request "$SESSION_SOCK" '{"command":"set","fan":1,"rpm":2500}'
expect_eq "$(jq -r '.error' <<<"$reply")" "자동 제어 복귀를 확인하는 중입니다." "new work while restoring"
virtual-smc ctl stuck off 0
heartbeat_until_released
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[]' "released by the retry"
expect_fans_automatic

# Heat: at 90 °C the safety check hands the fan back and says why.
request "$SESSION_SOCK" '{"command":"set","fan":0,"rpm":2500}'
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[0]' "manual before the heat"
virtual-smc ctl set Tp01 91
heartbeat_until_released
expect_eq "$(jq -r '.snapshot.notice' <<<"$reply")" "온도 또는 센서 상태 때문에 자동 제어로 복귀했습니다." "trip notice"
request "$SESSION_SOCK" '{"command":"set","fan":0,"rpm":2500}'
expect_eq "$(jq -r '.error' <<<"$reply")" "센서가 정상이고 온도가 85°C 미만일 때 수동 제어할 수 있습니다." "hot start refused"
expect_fans_automatic

request "$SESSION_SOCK" '{"command":"quit"}'
wait_gone "$helper"
echo "control paths: ok"
