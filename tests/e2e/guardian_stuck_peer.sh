#!/usr/bin/env bash
# Peers whose program sits on a file system that stopped answering: the guardian's look at their
# code hangs. Each is refused at the check's deadline while the check itself stays stuck, the
# owner's front end is answered meanwhile, and a stop request (launch control's bootout) with
# such checks under way restores normal sleep at once and exits in order: the kernel interrupts
# the stuck checks of a process that exits.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian
expect_answer 완료 start 10

stall=/tmp/stall
mkdir -p "$stall"
stalling-fs /usr/local/bin/vigilon-client "$stall" /run/stall-flag >/run/stalling-fs.log &
fs=$!
peers=()
trap 'rm -f /run/stall-flag; kill "${peers[@]}" 2>/dev/null || true; umount "$stall" 2>/dev/null || true; kill "$fs" 2>/dev/null || true' EXIT
until_true test -x "$stall/vigilon-client"
# From now on root's looks at the program hang; the owner still starts it from there.
touch /run/stall-flag

stalled_checks() { grep -c '^stalled open' /run/stalling-fs.log || true; }
# stuck_peers N: N more peers of the owner running the stalled program, each waiting in its check.
stuck_peers() {
    local before i
    before=$(stalled_checks)
    for ((i = 0; i < $1; i++)); do
        as_user vane "$stall/vigilon-client" ping --expect "$guardian_hash" >/dev/null 2>&1 &
        peers+=($!)
    done
    checks_stuck() { (($(stalled_checks) >= before + $1)); }
    until_true checks_stuck "$1"
}

# --- refused at the deadline, with the check still stuck; the owner is answered all along
began=$(ms_now)
stuck_peers 3
for peer in "${peers[@]}"; do wait "$peer" || true; done
echo "3 peers stuck in their code check refused within $(($(ms_now) - began)) ms"
expect_answer 3 ping
expect_eq "$(sleep_disabled)" 1 "SleepDisabled while the checks are stuck"

# --- a bootout while checks are under way
peers=()
stuck_peers 3
started=$(ms_now)
/bin/launchctl bootout "$target" &
unloading=$!
took=$(ms_until_normal_sleep "$started")
echo "bootout with 3 checks stuck: SleepDisabled 0 after $took ms"
[[ $took != never ]] && ((took < 3000)) || fail "SleepDisabled 0 only after $took ms"
expect_ended guardianStopped
wait "$unloading" || fail "bootout failed"
echo "the daemon gone $(($(ms_now) - started)) ms after the bootout, its checks still stalled"
expect_eq "$(last_exit_status)" 0 "exit status of the daemon"

echo "guardian stuck peer: ok"
