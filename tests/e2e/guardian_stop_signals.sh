#!/usr/bin/env bash
# The daemon asked to stop (launch control's bootout, SIGTERM, SIGINT, SIGHUP) ends a session it
# holds before it exits: normal sleep back, the marker gone, the record naming "guardianStopped",
# exit status 0. Idle, it changes nothing. A second signal does not cut a slow restore short; a
# restore that fails exits 1 and leaves the session for the next launch, which recovers it even
# when it is itself asked to stop half-way through.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian

# --- idle: the daemon leaves with status 0 and nothing changes
victim=$(watcher_pid)
record_before=$(cat "$data/state.json" 2>/dev/null || echo none)
/bin/launchctl bootout "$target" || fail "bootout failed"
process_gone "$victim" || fail "daemon still running after bootout"
expect_eq "$(last_exit_status)" 0 "exit status of an idle daemon"
expect_eq "$(cat "$data/state.json" 2>/dev/null || echo none)" "$record_before" "record of an idle stop"
expect_eq "$(sleep_disabled)" 0 "SleepDisabled after an idle stop"
[[ ! -e $data/owned ]] || fail "marker after an idle stop"

# --- mid-session: bootout ends the session before the daemon exits
bootstrap_guardian
expect_answer 완료 start 10
expect_eq "$(sleep_disabled)" 1 "SleepDisabled during the session"
started=$(ms_now)
/bin/launchctl bootout "$target" || fail "bootout failed"
elapsed=$(($(ms_now) - started))
((elapsed < 5000)) || fail "bootout took ${elapsed} ms"
expect_ended guardianStopped
expect_eq "$(last_exit_status)" 0 "exit status after ending the session"

# --- SIGHUP and SIGINT stop it the same way; launch control then starts it again
bootstrap_guardian
for signal in HUP INT; do
    expect_answer 완료 start 10
    victim=$(watcher_pid)
    kill -"$signal" "$victim"
    UNTIL_LIMIT=5 until_true process_gone "$victim"
    expect_ended guardianStopped
    expect_eq "$(last_exit_status)" 0 "exit status after SIG$signal"
    until_true watcher_replaced "$victim"
done

# --- a second SIGTERM while the restore waits for a slow tool does not cut it short
expect_answer 완료 start 10
victim=$(watcher_pid)
echo 1 >/run/sim-pmset/slow-set
/bin/launchctl bootout "$target" &
unloading=$!
restoring() { [[ -n $(tool_of "$victim" 'disablesleep 0') ]]; }
until_true restoring
kill -TERM "$victim"
wait "$unloading" || fail "bootout failed"
rm -f /run/sim-pmset/slow-set
expect_ended guardianStopped
expect_eq "$(last_exit_status)" 0 "exit status after a second SIGTERM"

# --- a restore that fails: status 1, the session left for the next launch
bootstrap_guardian
expect_answer 완료 start 10
echo "Error: not permitted" >/run/sim-pmset/fail-set
/bin/launchctl bootout "$target" || fail "bootout failed"
expect_eq "$(last_exit_status)" 1 "exit status after a failed restore"
grep -qx 'Vigilon guardian: pmset failed: Error: not permitted' "$launchd_log" || fail "no failure line in the log"
expect_eq "$(sleep_disabled)" 1 "SleepDisabled after a failed restore"
[[ -e $data/owned ]] || fail "marker removed although the restore failed"
expect_eq "$(record_field active)" true "record after a failed restore"
expect_eq "$(record_field stopReason)" guardianStopped "reason of the pending restore"
[[ $(record_field error) != null ]] || fail "no retry message in the record"

# The next launch recovers it, and a SIGTERM that arrives during that recovery waits for it.
rm -f /run/sim-pmset/fail-set
echo 1 >/run/sim-pmset/slow-set
/bin/launchctl bootstrap system "$definition" || fail "bootstrap failed"
recovering() {
    local pid
    pid=$(watcher_pid)
    [[ -n $pid && -n $(tool_of "$pid" 'disablesleep 0') ]] && victim=$pid
}
until_true recovering
kill -TERM "$victim"
UNTIL_LIMIT=5 until_true process_gone "$victim"
rm -f /run/sim-pmset/slow-set
expect_ended restarted
expect_eq "$(last_exit_status)" 0 "exit status when stopped during the recovery"
/bin/launchctl bootout "$target"

echo "guardian stop signals: ok"
