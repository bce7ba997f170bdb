#!/usr/bin/env bash
# The virtual SMC takes writes only from root, as the real one does; reading is open to all, so
# the status mode still works for an ordinary user.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

run_capture as_user vane Airvane --status
expect_eq "$status" 0 "status as vane"
expect_eq "$(jq -c '[.fans[].mode]' <<<"$out")" '[0,0]' "modes read as vane"

run_capture as_user vane virtual-smc probe write F0md 00
[[ $out == rc=0xe00002c1\ * ]] || fail "write as vane not refused as unprivileged: $out $err"
run_capture virtual-smc probe write F0md 00
[[ $out == rc=0x00000000\ result=0x00* ]] || fail "write as root refused: $out $err"
echo "write privilege: ok"
