#!/usr/bin/env bash
# Crash recovery of real sessions. A crash leaves a cooldown behind, so each session runs in a
# fresh simulated machine: from the host this script starts GUARDIAN_SESSIONS machines (default
# 9) and runs itself inside each with a round number. Inside, the daemon is killed with SIGKILL
# while it starts a session, inside a tick of a running session, or at a random moment of one;
# launch control starts it again, and normal sleep must be back with the marker gone. When the
# kill came before the session was claimed, nothing of it may remain and a new session starts.
set -euo pipefail

if [[ ${1:-} != --inside ]]; then
    . "$(dirname "$0")/lib.sh"
    machine=${SIM_MACHINE:?SIM_MACHINE names the runner}
    sessions=${GUARDIAN_SESSIONS:-9}
    seed=${GUARDIAN_SEED:-$$}
    echo "seed $seed, $sessions sessions"
    for ((round = 0; round < sessions; round++)); do
        run_capture "$machine" bash "$(readlink -f "$0")" --inside "$round" "$((seed + round))"
        echo "$out"
        [[ $status -eq 0 ]] || fail "round $round: $err"
    done
    echo "guardian crash of sessions: ok"
    exit 0
fi

. "$(dirname "$0")/guardian_lib.sh"
round=$2
RANDOM=$3
kinds=(start tick idle)
kind=${kinds[round % 3]}

install_guardian
random_pause() { sleep "$(printf '0.%03d' $((RANDOM % ($1 + 1))))"; }

victim=$(watcher_pid)
case $kind in
    start)
        # From the start's first tool run (its SleepDisabled check) on, a random moment of the
        # claim, the record, the switch and its verification.
        as_user vane vigilon-client start 10 --expect "$guardian_hash" >/dev/null 2>&1 &
        for ((i = 0; i < 2000; i++)); do
            pgrep -P "$victim" >/dev/null || [[ -e $data/owned ]] && break
            sleep 0.002
        done
        random_pause 40
        ;;
    tick)
        expect_answer 완료 start 10
        # The tick re-reads the setting every 3 seconds; its tool is slowed down a little so that
        # the kill lands inside that run.
        echo 0.2 >/run/sim-pmset/slow-get
        for ((i = 0; i < 2000; i++)); do
            pgrep -P "$victim" >/dev/null && break
            sleep 0.002
        done
        ((i < 2000)) || fail "no tick ran its tool"
        ;;
    idle)
        expect_answer 완료 start 10
        random_pause 999
        ;;
esac
kill -9 "$victim"
rm -f /run/sim-pmset/slow-get
until_true watcher_replaced "$victim"
wait

expect_eq "$(sleep_disabled)" 0 "SleepDisabled after the crash"
[[ ! -e $data/owned ]] || fail "marker left after the crash"
if [[ -e $data/state.json && $(record_field stopReason) == restarted ]]; then
    expect_eq "$(record_field active)" false "record after the crash"
    expect_refusal "$THERMAL_REFUSAL" start 10
    outcome="session recovered (restarted, cooldown)"
else
    # Killed before the session was claimed: no trace, and the guardian is free for a session.
    [[ ! -e $data/state.json || $(record_field active) == false ]] || fail "active record without a session"
    expect_answer 완료 start 10
    expect_answer 완료 stop
    outcome="killed before the claim; new session fine"
fi
echo "round $round ($kind): $outcome"
