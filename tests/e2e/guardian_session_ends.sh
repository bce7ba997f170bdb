#!/usr/bin/env bash
# The watcher ends a running session by itself: a low or missing battery, sleep re-enabled
# behind its back, the session's time running out, a reboot, a thermal trip (with a sleep
# request and the cooldown after).
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian

ended_for() { [[ ! -e $data/owned && $(record_field stopReason) == "$1" ]]; }

# --- the battery runs low
expect_answer 완료 start 10
echo 12 >"$battery/capacity"
until_true ended_for batteryLow
expect_ended batteryLow
echo 80 >"$battery/capacity"

# --- the battery disappears
expect_answer 완료 start 10
echo UPS >"$battery/type"
until_true ended_for batteryUnavailable
expect_ended batteryUnavailable
echo Battery >"$battery/type"

# --- sleep re-enabled behind the guardian's back
expect_answer 완료 start 20
pmset -a disablesleep 0
until_true ended_for externalChange
expect_ended externalChange

# --- the session runs out. Its record's wall-clock span is moved back until it ended a second
# ago, as if the ten minutes had gone by while the machine stayed up. The watcher's own status
# write may replace the record meanwhile, so the move is repeated until the session ends.
expect_answer 완료 start 10
run_out() {
    local aged
    ended_for expired && return 0
    # Text edits rather than a rewrite through jq, which would round the 64-bit boot identity.
    aged=$(jq -r 'select(.active and .expiresAt > now) | (now - 1) as $cut
        | "s/\"startedAt\":[^,]*/\"startedAt\":\($cut - 600)/; s/\"expiresAt\":[^,]*/\"expiresAt\":\($cut)/"' \
        "$data/state.json") || return 1
    [[ -n $aged ]] || return 1
    sed "$aged" "$data/state.json" >"$data/state.json.aged"
    mv "$data/state.json.aged" "$data/state.json"
    return 1
}
until_true run_out
expect_ended expired

# --- a reboot: the machine loses power before the daemon can end the session, and the daemon
# comes back in a new boot
expect_answer 완료 start 10
kill -9 "$(cat "$job/supervisor.pid")" "$(watcher_pid)"
/bin/launchctl bootout "$target"
sim-reboot >/dev/null
expect_eq "$(sleep_disabled)" 1 "SleepDisabled across the reboot"
/bin/launchctl bootstrap system /Library/LaunchDaemons/app.tavrin.vigilon.guardian.plist
until_true watcher_ready
expect_ended rebooted
# The session ended without a thermal cause, but a watcher that found one running cannot know
# how hot it got meanwhile: the cooldown applies.
expect_refusal "$THERMAL_REFUSAL" start 10

/bin/launchctl bootout "$target"
echo "guardian session ends: ok"
