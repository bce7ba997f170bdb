# Shared helpers of the guardian's end-to-end scripts: installation for the user vane with the
# front-end stand-in as the registered client, requests through it, and readings of the
# sleep setting, the session record and the watcher.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
sim=$(readlink -f "$(dirname "${BASH_SOURCE[0]}")/../../sim")

guardian=/usr/local/bin/guardian
helper=/Library/PrivilegedHelperTools/app.tavrin.vigilon.guardian
data="/Library/Application Support/TavrinVigilon"
install_lock=/Library/PrivilegedHelperTools/.app.tavrin.vigilon.install.lock
target=system/app.tavrin.vigilon.guardian
job=/run/sim-launchd/app.tavrin.vigilon.guardian
thermal=/sys/class/thermal/thermal_zone0/temp
battery=/sys/class/power_supply/BAT0

REFUSED_CONNECTION="도우미에 연결할 수 없습니다. 도우미를 다시 설치해 주세요."
THERMAL_REFUSAL="Thermal protection is active. Keep the Mac ventilated; 120 seconds of continuously nominal readings are required before restarting."

hash_of() { sha256sum "$1" | cut -c1-40; }

# until_true CMD...: until the command succeeds, for at most $2 seconds of the caller's choice
# (UNTIL_LIMIT, default 10).
until_true() {
    local i limit=${UNTIL_LIMIT:-10}
    for ((i = 0; i < limit * 20; i++)); do
        "$@" && return 0
        sleep 0.05
    done
    fail "not within ${limit} s: $*"
}

watcher_pid() { cat "$job/job.pid" 2>/dev/null; }
heartbeat_pid() { jq -r '.pid' "$data/watcher.json" 2>/dev/null; }
# The running watcher has written its heartbeat: it is past its start-up.
watcher_ready() {
    local pid
    pid=$(watcher_pid)
    [[ -n $pid && $(heartbeat_pid) == "$pid" && -S /var/run/app.tavrin.vigilon.guardian.sock ]]
}
# watcher_replaced OLD_PID: launch control has started another watcher, and it is ready.
watcher_replaced() {
    local pid
    pid=$(watcher_pid)
    [[ -n $pid && $pid != "$1" ]] && watcher_ready
}

# Installs and registers the guardian for vane with vigilon-client as the front end; leaves the
# watcher ready and the guardian's code hash in $guardian_hash.
install_guardian() {
    client_hash=$(hash_of /usr/local/bin/vigilon-client)
    run_capture "$sim/install-guardian" 501 "$client_hash" "$guardian"
    expect_eq "$status" 0 "install: $err"
    expect_eq "$out" "Helper installed." "registration output"
    guardian_hash=$(hash_of "$helper")
    until_true watcher_ready
}

# client VERB [MINUTES] [LIMIT]: one request as vane; answer in $out or $err, status in $status.
client() {
    run_capture as_user vane vigilon-client "$@" --expect "$guardian_hash"
}

# expect_answer TEXT VERB...: the request succeeds with TEXT.
expect_answer() {
    local text=$1
    shift
    client "$@"
    [[ $status -eq 0 && $out == "$text" ]] || fail "$*: expected [$text], got status $status [$out] [$err]"
}

# expect_refusal TEXT VERB...: the request fails with TEXT.
expect_refusal() {
    local text=$1
    shift
    client "$@"
    [[ $status -eq 1 && $err == "$text" ]] || fail "$*: expected refusal [$text], got status $status [$out] [$err]"
}

sleep_disabled() { pmset -g | awk '$1 == "SleepDisabled" { print $2 }'; }
# ms_until_normal_sleep SINCE [SECONDS]: waits until SleepDisabled is 0, for at most SECONDS
# (default 10), reading the stand-in's own record of it without starting a process; prints the
# milliseconds since SINCE (an ms_now reading), or "never".
ms_until_normal_sleep() {
    local since=$1 limit=${2:-10} value i
    for ((i = 0; i < limit * 100; i++)); do
        value=0
        [[ -r /run/sim-pmset/SleepDisabled ]] && read -r value </run/sim-pmset/SleepDisabled
        [[ $value == 0 ]] && echo $(($(ms_now) - since)) && return 0
        sleep 0.01
    done
    echo never
}
sleep_requests() { cat /run/sim-pmset/sleepnow-count 2>/dev/null || echo 0; }
record_field() { jq -r ".$1" "$data/state.json"; }

# The session ended for REASON: normal sleep, no marker, an inactive record naming REASON.
expect_ended() {
    local reason=$1
    expect_eq "$(sleep_disabled)" 0 "SleepDisabled after $reason"
    [[ ! -e $data/owned ]] || fail "marker left after $reason"
    expect_eq "$(record_field active)" false "record active after $reason"
    expect_eq "$(record_field stopReason)" "$reason" "stop reason"
}

marker_gone() { [[ ! -e $data/owned ]]; }

# Thermal zone readings: 45 °C nominal, 80 °C over the active trip (fair), 100 °C over the
# passive one (serious).
set_temperature() { echo "$1" >"$thermal"; }

# The launch-control stand-in's log of the daemon: its output, and a line for every exit.
launchd_log=/run/sim-launchd/app.tavrin.vigilon.guardian.log
definition=/Library/LaunchDaemons/app.tavrin.vigilon.guardian.plist
# The exit status of the daemon process that ended last.
last_exit_status() { grep 'exited with status' "$launchd_log" | tail -n 1 | awk '{ print $NF }'; }

# A process that exists and is not merely waiting to be reaped.
process_alive() {
    local rest
    [[ -n $1 ]] && read -r rest 2>/dev/null <"/proc/$1/stat" || return 1
    rest=${rest##*) }
    [[ ${rest%% *} != [ZX] ]]
}
process_gone() { ! process_alive "$1"; }

# tool_of PID PATTERN: the pid of PID's child whose command line matches PATTERN (empty if none).
tool_of() { pgrep -P "$1" -f "$2" | head -n 1; }

# Loads the daemon again after a bootout; leaves the watcher ready.
bootstrap_guardian() {
    /bin/launchctl bootstrap system "$definition" || fail "bootstrap failed"
    until_true watcher_ready
}
