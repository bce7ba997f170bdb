#!/usr/bin/env bash
# On the host there is no SMC: the status mode says so and prints nothing on stdout.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
[[ -e /var/run/virtual-smc.sock ]] && { echo "skipped: a virtual SMC runs on this host"; exit 0; }
run_capture "$AIRVANE_BIN/Airvane" --status
expect_eq "$status" 1 "exit"
expect_eq "$out" "" "stdout"
expect_eq "$err" "Tavrin: AppleSMC를 찾을 수 없습니다." "stderr"
echo "no smc: ok"
