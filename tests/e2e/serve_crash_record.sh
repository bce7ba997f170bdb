#!/usr/bin/env bash
# A helper killed (SIGKILL) at a random moment of a session that sets fans leaves nothing manual
# for long: the next serving start hands back what the dead helper's record lists before its
# socket appears, removes the dead session directory, and after a clean end no record is left.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

kills=${FAN_KILLS:-100}
seed=${FAN_SEED:-$RANDOM}
RANDOM=$seed
echo "crash record: $kills kills, seed $seed"

# The client's part of one session: switch fans, hand them back, switch again, quit.
drive_session() {
    local command
    until [[ $(as_user vane fan-client "$SESSION_SOCK" '{"command":"ping"}' 2>/dev/null) == '{}' ]]; do
        kill -0 "$helper" 2>/dev/null || return 0
        sleep 0.005
    done
    for command in '{"command":"set","fan":0,"rpm":2400}' '{"command":"setAll","rpm":2200}' \
        '{"command":"auto"}' '{"command":"set","fan":1,"rpm":2600}' '{"command":"quit"}'; do
        # An answer that carries an error (exit 2) is still an answer; only a helper gone ends it.
        as_user vane fan-client "$SESSION_SOCK" "$command" >/dev/null 2>&1 || (($? == 2)) || return 0
    done
}

left_manual=0
started=$(date +%s%N)
for ((round = 1; round <= kills; round++)); do
    Airvane --serve 501 "$UUID" 2>/dev/null &
    helper=$!
    drive_session &
    driver=$!
    # A session of the driver takes about a second; most kills land inside it.
    sleep "$(printf '0.%03d' $((RANDOM % 1000)))"
    kill -KILL "$helper" 2>/dev/null || true
    wait "$helper" 2>/dev/null || true
    kill "$driver" 2>/dev/null || true
    wait "$driver" 2>/dev/null || true
    [[ "$(smc_get F0md) $(smc_get F1md) $(smc_get Ftst)" == "0 0 0" ]] || left_manual=$((left_manual + 1))

    Airvane --serve 501 "$UUID" &
    helper=$!
    wait_serving "$SESSION_SOCK"
    expect_fans_automatic
    [[ ! -e $MANUAL_RECORD ]] || jq -e '.fans == [] and .ftst == false' "$MANUAL_RECORD" >/dev/null ||
        fail "kill $round: the new helper's record lists fans: $(cat "$MANUAL_RECORD")"
    request "$SESSION_SOCK" '{"command":"quit"}'
    wait_gone "$helper"
    expect_eq "$exit_status" 0 "exit after quit (round $round)"
    expect_session_gone "after kill $round"
done
elapsed=$((($(date +%s%N) - started) / 1000000))
echo "crash record: ok ($left_manual of $kills kills left a fan or Ftst manual; ${elapsed} ms)"
