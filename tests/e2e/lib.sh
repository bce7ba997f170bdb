# Shared helpers of the end-to-end scripts.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Milliseconds since the epoch, for the figures the scripts print.
ms_now() { date +%s%3N; }

# expect_eq ACTUAL EXPECTED WHAT
expect_eq() {
    [[ "$1" == "$2" ]] || fail "$3: expected [$2], got [$1]"
}

# run_capture CMD...: runs CMD, leaving its output in $out, $err and its status in $status.
run_capture() {
    local o e
    o=$(mktemp) e=$(mktemp)
    set +e
    "$@" >"$o" 2>"$e"
    status=$?
    set -e
    out=$(cat "$o") err=$(cat "$e")
    rm -f "$o" "$e"
}

as_user() {
    local user=$1
    shift
    setpriv --reuid="$user" --regid="$user" --clear-groups "$@"
}

UUID=0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9
SESSION_SOCK=/var/run/fantavrin.$UUID/control.sock
DAEMON_SOCK=/var/run/tavrin/control.sock

# wait_for PATH [SECONDS]: until PATH exists.
wait_for() {
    local path=$1 limit=${2:-5} i
    for ((i = 0; i < limit * 20; i++)); do
        [[ -e $path ]] && return 0
        sleep 0.05
    done
    fail "$path did not appear"
}

# wait_gone PID [SECONDS]: until the process has ended; its exit status in $exit_status.
wait_gone() {
    local pid=$1 limit=${2:-10} i
    for ((i = 0; i < limit * 20; i++)); do
        if ! kill -0 "$pid" 2>/dev/null; then
            set +e
            wait "$pid"
            exit_status=$?
            set -e
            return 0
        fi
        sleep 0.05
    done
    fail "process $pid still running after ${limit}s"
}

# start_serve: a serve session for vane in the background; its pid in $helper.
start_serve() {
    Airvane --serve 501 "$UUID" &
    helper=$!
    wait_for "$SESSION_SOCK"
}

# start_daemon: a daemon-mode helper for vane that admits only fan-client; its pid in $helper,
# fan-client's path in $client.
start_daemon() {
    client=$(command -v fan-client)
    Airvane --daemon 501 "$(sha256sum "$client" | cut -c1-40)" &
    helper=$!
    wait_for "$DAEMON_SOCK"
}

# request SOCKET JSON: one request as vane; the reply line in $reply.
# fan-client exits 2 for a reply that carries an error, which is still a reply.
request() {
    local status=0
    reply=$(as_user vane fan-client "$1" "$2") || status=$?
    ((status == 0 || status == 2)) || fail "no reply to $2"
}

smc_get() { virtual-smc ctl get "$1"; }

# The fans are automatic and the engine's unlock key is back at 0.
expect_fans_automatic() {
    expect_eq "$(smc_get F0md)" 0 "fan 0 mode"
    expect_eq "$(smc_get F1md)" 0 "fan 1 mode"
    expect_eq "$(smc_get Ftst)" 0 "Ftst"
}

# raw_exchange USER SOCKET: sends stdin as USER over a raw connection and prints what comes back.
raw_exchange() {
    local user=$1 sock=$2
    if [[ $user == root ]]; then
        socat -t 3 - "UNIX-CONNECT:$sock"
    else
        as_user "$user" socat -t 3 - "UNIX-CONNECT:$sock"
    fi
}

# The lock file is there and nobody holds its lock.
expect_lock_free() {
    [[ -f /var/run/fantavrin.lock ]] || fail "lock file missing"
    flock -n /var/run/fantavrin.lock true || fail "lock still held"
}

MANUAL_RECORD=/var/run/fantavrin.manual

# Nothing of a serve session is left: no socket, no directory, no manual-control record, and the
# lock is free.
expect_session_gone() {
    [[ ! -e $SESSION_SOCK ]] || fail "$1: socket left behind"
    [[ ! -e $(dirname "$SESSION_SOCK") ]] || fail "$1: session directory left behind"
    [[ ! -e $MANUAL_RECORD ]] || fail "$1: manual-control record left behind: $(cat "$MANUAL_RECORD")"
    expect_lock_free
}

# wait_lock_held PID: until the helper holds the single-instance lock, the first thing its
# serving start-up makes: from then on every stop must end in an orderly teardown.
wait_lock_held() {
    local pid=$1 locks
    # Builtins only: a forked tool would take longer than most of the start-up.
    for ((;;)); do
        kill -0 "$pid" 2>/dev/null || fail "helper $pid ended before it held the lock"
        read -r -d '' locks </proc/locks || true
        [[ $locks =~ FLOCK[[:space:]]+ADVISORY[[:space:]]+WRITE[[:space:]]+$pid[[:space:]] ]] && return 0
    done
}

# wait_serving SOCKET [SECONDS]: until a helper answers a ping there. A dead helper's socket file
# may still be on disk, so the file appearing proves nothing.
wait_serving() {
    local sock=$1 limit=${2:-5} i
    for ((i = 0; i < limit * 20; i++)); do
        [[ $(as_user vane fan-client "$sock" '{"command":"ping"}' 2>/dev/null) == '{}' ]] && return 0
        sleep 0.05
    done
    fail "nothing serves $sock"
}
