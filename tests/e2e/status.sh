#!/usr/bin/env bash
# The status mode inside the simulated machine: one JSON line, for root and for a plain user.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

for who in root vane; do
    if [[ $who == root ]]; then run_capture Airvane --status; else run_capture as_user vane Airvane --status; fi
    expect_eq "$status" 0 "status exit ($who)"
    expect_eq "$err" "" "status stderr ($who)"
    expect_eq "$(printf '%s\n' "$out" | wc -l)" 1 "one line ($who)"
    expect_eq "$(jq -c 'keys_unsorted' <<<"$out")" '["fans","temperature","thermal","controlled"]' "snapshot members ($who)"
    expect_eq "$(jq -c '[.fans[] | keys_unsorted]' <<<"$out")" \
        '[["id","actual","minimum","maximum","target","mode"],["id","actual","minimum","maximum","target","mode"]]' "fan members ($who)"
    expect_eq "$(jq '[.fans[].mode] == [0,0] and .controlled == []' <<<"$out")" true "fans automatic ($who)"
done

# Integral values keep their fraction, as the front end parses them as doubles.
grep -Eq '"minimum":[0-9]+\.[0-9]+' <<<"$out" || fail "minimum written without a fraction: $out"

# An unreadable fan count is the whole snapshot's failure: one line on stderr, nothing on stdout.
virtual-smc ctl delete FNum
run_capture Airvane --status
expect_eq "$status" 1 "exit without FNum"
expect_eq "$out" "" "stdout without FNum"
expect_eq "$err" "Tavrin: 팬 개수를 읽지 못했습니다." "stderr without FNum"
echo "status: ok"
