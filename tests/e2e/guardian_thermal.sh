#!/usr/bin/env bash
# A thermal trip during a session: the session's own limit decides, the watcher ends it, asks
# the system to sleep, and refuses new sessions while the cooldown runs.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian
ended_for() { [[ ! -e $data/owned && $(record_field stopReason) == "$1" ]]; }

# --- a fair reading does not end a session that allows up to fair
expect_answer 완료 start 10 serious
set_temperature 80000
sleep 3
expect_eq "$(sleep_disabled)" 1 "SleepDisabled at fair under the serious limit"
[[ -e $data/owned ]] || fail "session ended at fair under the serious limit"
expect_eq "$(sleep_requests)" 0 "sleep requests"

# --- a serious reading does
set_temperature 100000
until_true ended_for thermal
expect_ended thermal
expect_eq "$(sleep_requests)" 1 "sleep requested after the trip"

# --- no new session during the cooldown, even once the readings are nominal again
expect_refusal "$THERMAL_REFUSAL" start 10 serious
set_temperature 45000
sleep 4
expect_refusal "$THERMAL_REFUSAL" start 10
expect_eq "$(record_field coolingRequired)" true "latch in the record"

# A restarted watcher keeps the latch from the record.
old=$(watcher_pid)
kill -9 "$old"
until_true watcher_replaced "$old"
expect_refusal "$THERMAL_REFUSAL" start 10
expect_eq "$(sleep_disabled)" 0 "SleepDisabled after the restart"

/bin/launchctl bootout "$target"
echo "guardian thermal: ok"
