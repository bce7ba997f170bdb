#!/usr/bin/env bash
# A client whose executable lies on a file system that stops answering cannot hold up the daemon:
# its code judgement is given up at its deadline and the client refused, the safety check still
# hands a hot fan back to automatic control, other clients are served, and SIGTERM still ends the
# helper in order. Prints how long the fan stayed manual at 95 °C and how long SIGTERM took.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

mount_point=/tmp/stalling
stall=/run/stall
fs_log=/run/stalling-fs.log
mkdir -p "$mount_point"
stalling-fs /usr/local/bin/fan-client "$mount_point" "$stall" >"$fs_log" 2>&1 &
fs=$!
trap 'rm -f "$stall"; umount "$mount_point" 2>/dev/null || true; kill "$fs" 2>/dev/null || true' EXIT
stalled_client=$mount_point/fan-client
wait_for "$stalled_client"

Airvane --daemon 501 "$(sha256sum "$stalled_client" | cut -c1-40)" &
helper=$!
wait_for "$DAEMON_SOCK"

reply=$(as_user vane "$stalled_client" "$DAEMON_SOCK" '{"command":"set","fan":0,"rpm":2400}') ||
    fail "set from the client on the file system: $reply"
expect_eq "$(smc_get F0md)" 1 "fan 0 manual"

# A client started while the file system still answers, waiting for its request line: once the
# file system stalls it must not need a page of its program that is not in memory yet.
cat "$stalled_client" >/dev/null
start_waiting_client() { # NAME
    mkfifo "/run/$1.in"
    # setpriv itself, not through a function, so that $! is the client's own pid.
    setpriv --reuid=vane --regid=vane --clear-groups "$stalled_client" "$DAEMON_SOCK" <>"/run/$1.in" >"/run/$1.out" 2>&1 &
    local pid=$! waits=
    for _ in $(seq 100); do
        [[ $(readlink "/proc/$pid/exe" 2>/dev/null) == "$stalled_client" ]] &&
            waits=$(cat "/proc/$pid/wchan" 2>/dev/null) && [[ $waits == *pipe_read ]] && break
        sleep 0.05
    done
    [[ $waits == *pipe_read ]] || fail "$1 does not wait for its request"
    waiting_pid=$waiting_pid" $pid"
}
# wait_stalled_opens COUNT: until the file system has held COUNT opens.
wait_stalled_opens() {
    for _ in $(seq 100); do
        (($(grep -c '^stalled open' "$fs_log") >= $1)) && return 0
        sleep 0.05
    done
    fail "no judgement reached the file system ($(cat "$fs_log"))"
}
waiting_pid=
start_waiting_client first
start_waiting_client second
read -r first_pid second_pid <<<"$waiting_pid"

touch "$stall"
echo '{"command":"ping"}' >/run/first.in
wait_stalled_opens 1
t0=$(ms_now)
virtual-smc ctl set Tp09 95
until [[ $(smc_get F0md) == 0 ]]; do
    (($(ms_now) - t0 < 5000)) || fail "fan 0 still manual 5 s after 95 °C with a judgement stalled"
    sleep 0.02
done
manual_ms=$(($(ms_now) - t0))

# The stalled client was refused without a reply, while its judgement still hangs.
wait_gone "$first_pid" 5
expect_eq "$exit_status" 1 "the stalled client's exit"
grep -q 'closed without a reply' /run/first.out || fail "stalled client: $(cat /run/first.out)"
# Others are served meanwhile, and see why the fan went back.
request "$DAEMON_SOCK" '{"command":"heartbeat"}'
expect_eq "$(jq -r '.snapshot.notice' <<<"$reply")" "온도 또는 센서 상태 때문에 자동 제어로 복귀했습니다." "notice"
expect_eq "$(jq -c '.snapshot.controlled' <<<"$reply")" '[]' "controlled after the trip"

# SIGTERM while another judgement is stalled.
echo '{"command":"ping"}' >/run/second.in
wait_stalled_opens 2
t0=$(ms_now)
kill -TERM "$helper"
wait_gone "$helper" 5
stop_ms=$(($(ms_now) - t0))
expect_eq "$exit_status" 0 "exit after SIGTERM"
expect_fans_automatic
[[ ! -e /var/run/tavrin ]] || fail "daemon directory left behind"
expect_lock_free

rm -f "$stall"
wait_gone "$second_pid" 5
printf 'stalled peer: fan 0 back in automatic mode %d.%03d s after 95 °C; SIGTERM ended the helper in %d ms\n' \
    $((manual_ms / 1000)) $((manual_ms % 1000)) "$stop_ms"
echo "stalled peer: ok"
