#!/usr/bin/env bash
# Runs the sandbox runner from the host: its exit status passes through, what is written inside
# never reaches the host, and nothing it started outlives it.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
machine=${SIM_MACHINE:?SIM_MACHINE names the runner}

mark=sim-host-check-$$
run_capture "$machine" bash -c "touch /etc/$mark /run/$mark /Library/$mark /tmp/$mark /usr/local/bin/$mark /root/$mark; exit 3"
expect_eq "$status" 3 "exit status of the command"
for dir in /etc /run /Library /tmp /usr/local/bin /root; do
    [[ ! -e "$dir/$mark" ]] || fail "$dir/$mark reached the host"
done

# Everything in the namespace dies with the command, and with a killed runner.
run_capture "$machine" bash -c "sleep 997.$$ & exit 0"
expect_eq "$status" 0 "background child"
set +e
timeout 1 "$machine" sleep "998.$$"
set -e
sleep 0.2
for s in 997 998; do
    ! pgrep -f "sleep $s.$$" >/dev/null || fail "sleep $s.$$ outlived the simulated machine"
done

run_capture as_user 65534 "$machine" true
expect_eq "$status/$err" "2/machine: must be run as root" "refused for a plain user"
echo "sim_host_untouched: ok"
