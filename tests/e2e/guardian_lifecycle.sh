#!/usr/bin/env bash
# A whole guardian session from the registered front end: install and register, ping, start,
# a second start refused, stop, restore; then who is turned away: another user, root, a
# program of the owner with another code hash, and a guardian that is not the expected one.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian

# --- ping, start, stop, restore
expect_answer 3 ping
expect_answer 완료 start 10
expect_eq "$(sleep_disabled)" 1 "SleepDisabled during the session"
[[ -e $data/owned ]] || fail "no ownership marker during the session"
expect_eq "$(record_field active)" true "record during the session"
expect_eq "$(record_field thermalLimit)" 1 "thermal limit"
deadline=$(jq -r '(.deadlineUptime - .startedUptime) | if . > 599.999 and . < 600.001 then 600 else . end' "$data/state.json")
expect_eq "$deadline" 600 "session length in seconds"

expect_refusal "An active session already exists. Stop it first." start 20 serious
expect_answer 3 ping

# The watcher keeps the session: the record is refreshed while SleepDisabled stays on.
first_update=$(record_field lastUpdated)
refreshed() { [[ $(record_field lastUpdated) != "$first_update" ]]; }
until_true refreshed
expect_eq "$(sleep_disabled)" 1 "SleepDisabled while watched"

expect_answer 완료 stop
expect_ended userStopped
expect_answer 완료 restore
expect_ended manualRestore

# A session with the serious limit, ended by restore.
expect_answer 완료 start 60 serious
expect_eq "$(record_field thermalLimit)" 2 "serious limit"
expect_answer 완료 restore
expect_ended manualRestore

# --- requests outside the contract never leave the client
client start 45
expect_eq "$err" "지원하지 않는 요청입니다." "45 minutes"
client ping 10
expect_eq "$err" "지원하지 않는 요청입니다." "ping with minutes"

# --- peers that are not the registered front end of the owner
run_capture as_user other vigilon-client ping --expect "$guardian_hash"
[[ $status -eq 1 && $err == "$REFUSED_CONNECTION" ]] || fail "another user: $status [$out] [$err]"
run_capture vigilon-client ping --expect "$guardian_hash"
[[ $status -eq 1 && $err == "$REFUSED_CONNECTION" ]] || fail "root: $status [$out] [$err]"

# The owner's program, but not the registered code.
cp /usr/local/bin/vigilon-client /tmp/vane/vigilon-client
printf 'x' >>/tmp/vane/vigilon-client
chmod 0755 /tmp/vane/vigilon-client
run_capture as_user vane /tmp/vane/vigilon-client start 10 --expect "$guardian_hash"
[[ $status -eq 1 && $err == "$REFUSED_CONNECTION" ]] || fail "another program: $status [$out] [$err]"
expect_eq "$(sleep_disabled)" 0 "SleepDisabled after refused peers"

# The front end expecting another guardian never sends its request.
run_capture as_user vane vigilon-client start 10 --expect 0123456789abcdef0123456789abcdef01234567
[[ $status -eq 1 ]] || fail "unexpected guardian accepted: [$out]"
expect_eq "$(sleep_disabled)" 0 "SleepDisabled after pinning another guardian"
[[ ! -e $data/owned ]] || fail "session started by a client pinning another guardian"

# The daemon served all of this without restarting.
expect_eq "$(cat "$job/runs")" 1 "daemon starts"
/bin/launchctl bootout "$target"
echo "guardian lifecycle: ok"
