#!/usr/bin/env bash
# A start on a full data directory fails without leaving a session behind: no marker, normal
# sleep, and the next start fails for the same reason rather than for a session that does not
# exist; once there is room again, a start succeeds.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian
# The data directory moves onto a file system of its own, small enough to fill.
cp -a "$data" /tmp/data
mount -t tmpfs -o size=256k,mode=0755 tiny "$data"
cp -a /tmp/data/. "$data/"
until_true watcher_ready

fill() { dd if=/dev/zero of="$data/filler" bs=4k 2>/dev/null || true; }
full_failure="Cannot write $data/state.json."

# The heartbeat cannot be renewed on a full disk either: each start comes while it is fresh.
fresh_start_fails() {
    until_true watcher_ready
    fill
    client start 10
    rm -f "$data/filler"
}
fresh_start_fails
echo "a start on a full data directory: status $status, \"$err\""
expect_eq "$err" "$full_failure" "refusal on a full disk"
[[ ! -e $data/owned ]] || fail "a failed start left the marker"
expect_eq "$(sleep_disabled)" 0 "SleepDisabled after a failed start"
fresh_start_fails
expect_eq "$err" "$full_failure" "second start on a full disk"

# Room again.
began=$(ms_now)
until_true watcher_ready
expect_answer 완료 start 10
echo "with room again, a start succeeded $(($(ms_now) - began)) ms later"
expect_eq "$(sleep_disabled)" 1 "SleepDisabled during the session"
expect_answer 완료 stop
echo "guardian full disk: ok"
