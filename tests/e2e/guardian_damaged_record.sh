#!/usr/bin/env bash
# A session record that is damaged, truncated, writable by others or replaced by a link never
# keeps the guardian from serving, is never trusted, and never leaves sleep disabled without a
# session: while the daemon runs, and when it is registered (and so launched) over such a record.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

kinds=(garbage truncated group-writable linked)

damage() { # KIND: spoils the session record
    local sound
    sound=$(<"$data/state.json")
    case $1 in
    garbage) printf '\x01 not a record' >"$data/state.json" ;;
    truncated) printf '%s' "${sound:0:20}" >"$data/state.json" ;;
    group-writable) chmod 0664 "$data/state.json" ;;
    linked)
        printf '%s' "$sound" >/tmp/elsewhere.json
        ln -sfn /tmp/elsewhere.json "$data/state.json"
        ;;
    esac
}

# The record is the guardian's own again: a root-owned file closed to others, holding a record.
record_sound() {
    [[ -f $data/state.json && ! -L $data/state.json ]] &&
        [[ $(stat -c '%u %a' "$data/state.json") == "0 644" ]] &&
        jq -e '.schemaVersion == 1' "$data/state.json" >/dev/null 2>&1
}

expect_normal_sleep() {
    expect_eq "$(sleep_disabled)" 0 "SleepDisabled after $1"
    [[ ! -e $data/owned ]] || fail "marker left after $1"
}

install_guardian
expect_answer 완료 start 10
expect_answer 완료 stop

# While the daemon runs and no session is on, the next tick replaces the record; a session can
# start at once, since the daemon itself knows there is no cooldown to keep.
for kind in "${kinds[@]}"; do
    damage "$kind"
    until_true record_sound
    watcher_ready || fail "watcher not ready after a $kind record"
    expect_answer 완료 start 10
    expect_eq "$(sleep_disabled)" 1 "SleepDisabled in a session after a $kind record"
    expect_answer 완료 stop
    expect_normal_sleep "$kind record, idle"
done

# During a session a record that cannot be trusted ends it.
expect_answer 완료 start 10
damage garbage
until_true marker_gone
expect_normal_sleep "a damaged record during a session"
expect_eq "$(record_field stopReason)" invalidState "stop reason"

# Registered over such a record: the new daemon becomes ready, cools down first (the record
# might have carried a cooldown it can no longer show) and repairs the record.
for kind in "${kinds[@]}"; do
    damage "$kind"
    run_capture "$guardian" register 501 "$client_hash"
    expect_eq "$status" 0 "register over a $kind record: $err"
    expect_eq "$out" "Helper installed." "registration output"
    until_true watcher_ready
    expect_refusal "$THERMAL_REFUSAL" start 10
    until_true record_sound
    expect_normal_sleep "registration over a $kind record"
done

# Once the machine has been cool for the whole cooldown, a session starts.
for ((i = 0; i < 75; i++)); do
    client start 10
    [[ $status -eq 0 ]] && break
    [[ $err == "$THERMAL_REFUSAL" ]] || fail "start while cooling down: $err"
    sleep 2
done
expect_eq "$out" 완료 "start after the cooldown"
expect_eq "$(sleep_disabled)" 1 "SleepDisabled in the session after the cooldown"
expect_answer 완료 stop
expect_normal_sleep "the last session"
