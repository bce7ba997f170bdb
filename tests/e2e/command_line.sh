#!/usr/bin/env bash
# Usage errors inside the simulated machine: exactly one line on stderr, nothing on stdout, no file.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

usage="Tavrin: 사용법: Airvane --status 또는 관리자 권한으로 --serve UID UUID"
uuid=0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9
hash=0123456789abcdef0123456789abcdef01234567

check() {
    local expected=$1
    shift
    run_capture "$@"
    expect_eq "$status" 1 "exit of $*"
    expect_eq "$out" "" "stdout of $*"
    expect_eq "$err" "$expected" "stderr of $*"
    [[ ! -e /var/run/fantavrin.lock ]] || fail "lock file created by $*"
}

check "$usage" Airvane
check "$usage" Airvane --status extra
check "$usage" Airvane --serve 501
check "$usage" Airvane --serve 500 "$uuid"
check "$usage" Airvane --serve 501a "$uuid"
check "$usage" Airvane --serve 4294967296 "$uuid"
check "$usage" Airvane --serve 4242 "$uuid"          # no such user
check "$usage" as_user vane Airvane --serve 501 "$uuid"
check "$usage" as_user vane Airvane --daemon 501 "${hash^^}"
check "Tavrin: 잘못된 앱 서명" Airvane --daemon 501 "${hash:0:39}A"
check "Tavrin: 잘못된 앱 서명" Airvane --daemon +0501 "${hash}0"
echo "command line: ok"
