#!/usr/bin/env bash
# A SIGTERM at any moment of start-up ends the session in order: exit 0, nothing left behind.
# Delays count from the moment the helper holds its lock. Every third try first leaves a dead
# helper's fan, record and directory, so that start-up spends a while handing them back.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

# plant_dead_helper: what a helper killed while it held fan 0 and "Ftst" leaves behind: the fan
# and "Ftst" at 1, its session directory with a socket file, and its record.
DEAD_DIR=/var/run/fantavrin.DEADBEEF-0000-4000-8000-00000000DEAD
plant_dead_helper() {
    virtual-smc ctl set Ftst 1 >/dev/null
    virtual-smc ctl set F0md 1 >/dev/null
    mkdir -m 0711 "$DEAD_DIR"
    : >"$DEAD_DIR/control.sock"
    printf '{"directory":"%s","fans":[0],"ftst":true}' "$DEAD_DIR" >"$MANUAL_RECORD"
    chmod 0600 "$MANUAL_RECORD"
}

tries=${FAN_STOP_TRIES:-36}
seed=${FAN_SEED:-$RANDOM}
RANDOM=$seed
echo "start-up stops: $tries tries, seed $seed"

serving=0
for ((try = 1; try <= tries; try++)); do
    if ((try % 3 == 0)); then plant_dead_helper; fi
    Airvane --serve 501 "$UUID" &
    helper=$!
    wait_lock_held "$helper"
    # Half the tries within the first few milliseconds.
    if ((try % 2)); then ms=$((RANDOM % 61)); else ms=$((RANDOM % 6)); fi
    ((ms == 0)) || sleep "$(printf '0.%03d' "$ms")"
    [[ -S $SESSION_SOCK ]] && serving=$((serving + 1))
    kill -TERM "$helper"
    wait_gone "$helper" 5
    what="SIGTERM at ${ms} ms (try $try)"
    expect_eq "$exit_status" 0 "exit after $what"
    expect_session_gone "$what"
    [[ ! -e $DEAD_DIR ]] || fail "$what: the dead helper's directory is still there"
    expect_fans_automatic
done
echo "start-up stops: ok ($((tries - serving)) of $tries stopped before the socket was there)"
