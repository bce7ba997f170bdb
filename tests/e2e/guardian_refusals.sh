#!/usr/bin/env bash
# Every reason the guardian refuses to start a session, each with its own text, and nothing
# changed by a refusal: no watcher alive in this boot, a session already running, sleep
# disabled by someone else, a low or missing battery, and a thermal trip with its cooldown.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian

expect_untouched() {
    expect_eq "$(sleep_disabled)" "${1:-0}" "SleepDisabled after a refused start"
    [[ ! -e $data/owned ]] || fail "marker after a refused start"
}

# --- no fresh heartbeat: the boot identity cannot be read, so no heartbeat counts as fresh
sim-reboot not-a-boot-identity >/dev/null
expect_refusal "Guardian is unavailable." start 10
expect_untouched
sim-reboot >/dev/null
boot_now() { [[ $(jq -r .bootTime "$data/watcher.json") != "$1" ]]; }
until_true boot_now "$(jq -r .bootTime "$data/watcher.json")"

# --- a session is already running
expect_answer 완료 start 10
expect_refusal "An active session already exists. Stop it first." start 10
expect_refusal "An active session already exists. Stop it first." start 30 serious
expect_answer 완료 stop

# --- SleepDisabled set outside the guardian
pmset -a disablesleep 1
expect_refusal "SleepDisabled is already enabled outside Vigilon. Restore normal sleep before starting." start 10
expect_untouched 1
pmset -a disablesleep 0

# --- the battery
echo 15 >"$battery/capacity"
expect_refusal "Cannot start safely: batteryLow" start 10
expect_untouched
echo 16 >"$battery/capacity"
expect_answer 완료 start 10
expect_answer 완료 stop
echo Mains >"$battery/type"
expect_refusal "Cannot start safely: batteryUnavailable" start 10
expect_untouched
echo Battery >"$battery/type"
echo 80 >"$battery/capacity"

# --- thermal: a fair reading trips a session with the fair limit
set_temperature 80000
expect_refusal "$THERMAL_REFUSAL" start 10
expect_untouched
# and the latch holds with the readings nominal again, for any limit, until 120 s have passed
set_temperature 45000
sleep 3
expect_refusal "$THERMAL_REFUSAL" start 10 serious
expect_refusal "$THERMAL_REFUSAL" start 10
expect_untouched
expect_eq "$(record_field coolingRequired)" true "latch in the record"

/bin/launchctl bootout "$target"
echo "guardian refusals: ok"
