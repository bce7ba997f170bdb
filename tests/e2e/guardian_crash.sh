#!/usr/bin/env bash
# Crash recovery: the daemon is killed with SIGKILL at random moments (while a start request is
# being served, while a tick runs, while idle), and launch control starts it again. Every time,
# normal sleep is back, the marker is gone, the record is inactive and names the restart, and
# a new session is refused while the cooldown a crash imposes runs. The first kill hits a
# running session. GUARDIAN_KILLS sets the number of kills (default 50); GUARDIAN_SEED the
# random sequence.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

kills=${GUARDIAN_KILLS:-50}
RANDOM=${GUARDIAN_SEED:-$$}
echo "seed ${GUARDIAN_SEED:-$$}, $kills kills"

install_guardian

# milliseconds MAX: sleeps a random 0..MAX ms.
random_pause() { sleep "$(printf '0.%03d' $((RANDOM % ($1 + 1))))"; }

# Kills the running daemon at a moment of the chosen kind; leaves its pid in $victim.
kill_daemon() {
    local kind=$1 i
    victim=$(watcher_pid)
    [[ -n $victim ]] || fail "no daemon to kill"
    case $kind in
        start)
            as_user vane vigilon-client start 10 --expect "$guardian_hash" >/dev/null 2>&1 &
            random_pause 60
            ;;
        tick)
            # Inside the tick's own tool run when there is one, else at a random point of the period.
            for ((i = 0; i < 400; i++)); do
                pgrep -P "$victim" >/dev/null && break
                [[ -e $data/owned ]] || { random_pause 999; break; }
                sleep 0.005
            done
            ;;
        idle) random_pause 999 ;;
    esac
    kill -9 "$victim"
}

# After every recovery: normal sleep, no marker, an inactive record of the restart, a cooldown.
expect_recovered() {
    local round=$1
    expect_eq "$(sleep_disabled)" 0 "round $round: SleepDisabled"
    [[ ! -e $data/owned ]] || fail "round $round: marker left"
    expect_eq "$(record_field active)" false "round $round: record active"
    case $(record_field stopReason) in
        restarted | rebooted) ;;
        *) fail "round $round: stop reason $(record_field stopReason)" ;;
    esac
    expect_refusal "$THERMAL_REFUSAL" start 10
    flock -n "$install_lock" true || fail "round $round: install lock held"
}

expect_answer 완료 start 10
declare -A counts=([start]=0 [tick]=0 [idle]=0)
kinds=(start tick idle)
for ((round = 1; round <= kills; round++)); do
    kind=${kinds[RANDOM % 3]}
    ((round > 1)) || kind=tick  # the session's first kill lands in its own tick
    counts[$kind]=$((counts[$kind] + 1))
    kill_daemon "$kind"
    until_true watcher_replaced "$victim"
    wait  # the background request, if any, has its answer
    expect_recovered "$round ($kind)"
done

echo "kills: start ${counts[start]}, tick ${counts[tick]}, idle ${counts[idle]}; daemon runs $(cat "$job/runs")"
/bin/launchctl bootout "$target"
echo "guardian crash recovery: ok"
