#!/usr/bin/env bash
# The data directory turns read-only under a running session: nothing can be written there any
# more, yet a low battery and a thermal trip still end the session, and the administrator's stop
# and restore still turn SleepDisabled off, each saying what it could not write.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian
read_only() { mount --bind "$data" "$data" && mount -o remount,bind,ro "$data"; }
writable() { umount "$data"; }
unwritable="Cannot write $data/state.json."

# --- the battery runs low
expect_answer 완료 start 10
read_only
echo 10 >"$battery/capacity"
took=$(ms_until_normal_sleep "$(ms_now)")
echo "read-only data directory, battery at 10 %: SleepDisabled 0 after $took ms"
[[ $took != never ]] || fail "SleepDisabled still 1"
[[ -e $data/owned ]] || fail "the marker went from a read-only directory"
UNTIL_LIMIT=5 until_true grep -qxF "Vigilon guardian: $unwritable" "$launchd_log"
# Writable again, the next tick records the end and lets the marker go.
writable
until_true marker_gone
expect_ended batteryLow
echo 80 >"$battery/capacity"

# --- a thermal trip
expect_answer 완료 start 10
requests=$(sleep_requests)
read_only
set_temperature 100000
took=$(ms_until_normal_sleep "$(ms_now)")
echo "read-only data directory, 100 °C: SleepDisabled 0 after $took ms"
[[ $took != never ]] || fail "SleepDisabled still 1"
sleep_requested() { (($(sleep_requests) > requests)); }
until_true sleep_requested

# --- the administrator's stop and restore, with no daemon running
/bin/launchctl bootout "$target"
[[ -e $data/owned ]] || fail "the marker went from a read-only directory"
for command in stop restore; do
    pmset -a disablesleep 1
    began=$(ms_now)
    run_capture "$guardian" "$command"
    took=$(($(ms_now) - began))
    echo "read-only data directory: guardian $command turned SleepDisabled off in $took ms and said: $err"
    expect_eq "$(sleep_disabled)" 0 "SleepDisabled after guardian $command"
    expect_eq "$status" 1 "exit status of guardian $command"
    expect_eq "$err" "$unwritable" "what guardian $command could not write"
done

writable
set_temperature 45000
echo "guardian read-only data: ok"
