#!/usr/bin/env bash
# The trust chain end to end: the installer places and registers the guardian, launch control
# brings the watcher up, the watcher restores sleep left behind, survives being killed, and a
# new registration ends a session with "updated" and restarts the daemon. Skipped (77) until
# the guardian program is built.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
sim=$(readlink -f "$(dirname "$0")/../../sim")

guardian=${GUARDIAN:-/usr/local/bin/guardian}
[[ -x $guardian ]] || { echo "no guardian program at $guardian: skipped"; exit 77; }

helper=/Library/PrivilegedHelperTools/app.tavrin.vigilon.guardian
data="/Library/Application Support/TavrinVigilon"
target=system/app.tavrin.vigilon.guardian
client=0123456789abcdef0123456789abcdef01234567

watcher_pid() { /bin/launchctl print "$target" | sed -n 's/^\tpid = //p'; }
heartbeat_pid() { sed -n 's/.*"pid":\([0-9]*\).*/\1/p' "$data/watcher.json" 2>/dev/null; }
sleep_disabled() { pmset -g | awk '$1 == "SleepDisabled" { print $2 }'; }

# until the command succeeds (evaluated afresh each time), for at most 5 seconds
until_true() {
    local i
    for ((i = 0; i < 100; i++)); do
        "$@" && return 0
        sleep 0.05
    done
    fail "not within 5 s: $*"
}

# Leaves what a session holds: the ownership marker and SleepDisabled on.
leave_session() {
    pmset -a disablesleep 1
    : >"$data/owned"
    chmod 0600 "$data/owned"
}

# --- installation and registration
run_capture "$sim/install-guardian" 501 "$client" "$guardian"
expect_eq "$status" 0 "install: $err"
expect_eq "$out" "Helper installed." "registration output"
record=$(cat "$data/installation.json")
own_hash=$(sha256sum "$helper" | cut -c1-40)
grep -q "\"ownerUID\":501" <<<"$record" || fail "owner in $record"
grep -q "\"clientHash\":\"$client\"" <<<"$record" || fail "client hash in $record"
grep -q "\"helperHash\":\"$own_hash\"" <<<"$record" || fail "guardian hash in $record"
expect_eq "$(stat -c '%U %a' "$data/installation.json")" "root 644" "installation record"

# The watcher is up and proves it.
first=$(watcher_pid)
[[ -n $first ]] || fail "watcher not running"
beats_as() { [[ $(heartbeat_pid) == "$1" ]]; }
until_true beats_as "$first"

# --- sleep left disabled by an interrupted session is restored by the running watcher
leave_session
until_true test ! -e "$data/owned"
expect_eq "$(sleep_disabled)" 0 "SleepDisabled after the watcher's restore"
grep -q '"stopReason":"invalidState"' "$data/state.json" || fail "restore reason: $(cat "$data/state.json")"

# --- a killed watcher is started again and takes over the heartbeat
kill -9 "$first"
replaced() { local pid; pid=$(watcher_pid); [[ -n $pid && $pid != "$1" ]]; }
until_true replaced "$first"
second=$(watcher_pid)
until_true beats_as "$second"

# --- a new registration ends the session with "updated" and restarts the daemon
leave_session
run_capture "$helper" register 501 "$client"
expect_eq "$status" 0 "register again: $err"
expect_eq "$(sleep_disabled)" 0 "SleepDisabled after re-registration"
[[ ! -e $data/owned ]] || fail "marker left after re-registration"
# The old watcher may notice the marker in its last tick before registration reaches it.
grep -Eq '"stopReason":"(updated|invalidState)"' "$data/state.json" || fail "reason: $(cat "$data/state.json")"
third=$(watcher_pid)
[[ -n $third && $third != "$second" ]] || fail "daemon not restarted by registration"
kill -0 "$second" 2>/dev/null && fail "old daemon still running"

# --- a guardian program that others could have written is never registered
before=$(cat "$data/installation.json")
chmod 0775 "$helper"
run_capture "$helper" register 502 "$client"
expect_eq "$status" 1 "group-writable guardian"
expect_eq "$err" "Unsafe ownership or permissions: $helper" "refusal message"
expect_eq "$(cat "$data/installation.json")" "$before" "record unchanged"
chmod 0755 "$helper"

/bin/launchctl bootout "$target"
echo "guardian register: ok"
