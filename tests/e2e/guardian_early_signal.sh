#!/usr/bin/env bash
# A session left behind (the marker and SleepDisabled 1), the daemon loaded again, and a SIGTERM
# in its first moments followed by an unload: the stop waits for the launch recovery, so normal
# sleep is back every time and the daemon exits in order, never by the signal.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian
/bin/launchctl bootout "$target"

# Whether the program runs its own code: it holds SIGTERM or ignores SIGPIPE, the first things
# its entry does (what comes before, the loader's work, no program can guard).
running_own_code() {
    local key value
    while read -r key value; do
        case $key in
        SigBlk:) ((16#$value & (1 << (15 - 1)))) && return 0 ;;
        SigIgn:) ((16#$value & (1 << (13 - 1)))) && return 0 ;;
        esac
    done <"/proc/$1/status" 2>/dev/null
    return 1
}
# The daemon's process once it runs its own code; its pid in $pid.
first_moments() {
    local comm i
    for ((i = 0; i < 100000; i++)); do
        pid=
        [[ -r $job/job.pid ]] && read -r pid <"$job/job.pid" 2>/dev/null
        [[ -n $pid ]] && read -r comm <"/proc/$pid/comm" 2>/dev/null && [[ $comm == app.tavrin.vigi ]] &&
            running_own_code "$pid" && return 0
    done
    fail "the daemon did not start"
}

tries=15
left_on=0
signalled=0
for ((try = 0; try < tries; try++)); do
    install -m 0600 /dev/null "$data/owned"
    pmset -a disablesleep 1
    rm -f "$job/job.pid"
    /bin/launchctl bootstrap system "$definition" &
    loading=$!
    first_moments
    kill -TERM "$pid"
    wait "$loading" || true
    /bin/launchctl bootout "$target" || true
    [[ $(sleep_disabled) == 1 ]] && left_on=$((left_on + 1))
    [[ $(last_exit_status) == 0 ]] || signalled=$((signalled + 1))
    pmset -a disablesleep 0
    rm -f "$data/owned"
done
echo "SIGTERM in the daemon's first moments, then an unload: $left_on of $tries tries left SleepDisabled 1," \
    "$signalled ended otherwise than in order"
expect_eq "$left_on" 0 "tries that left SleepDisabled 1"
expect_eq "$signalled" 0 "tries that did not end in order"
echo "guardian early signal: ok"
