#!/usr/bin/env bash
# SIGTERM, SIGINT and SIGHUP end a session in order, idle or with a fan in manual mode.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

for sig in TERM INT HUP; do
    for state in idle manual; do
        start_serve
        if [[ $state == manual ]]; then
            request "$SESSION_SOCK" '{"command":"set","fan":0,"rpm":2200}'
            expect_eq "$(smc_get F0md)" 1 "manual before SIG$sig"
        fi
        t0=$(date +%s%N)
        kill -s "$sig" "$helper"
        wait_gone "$helper" 5
        ms=$((($(date +%s%N) - t0) / 1000000))
        expect_eq "$exit_status" 0 "exit after SIG$sig ($state)"
        expect_fans_automatic
        expect_session_gone "SIG$sig ($state)"
        echo "SIG$sig while $state: ended in ${ms} ms"
    done
done
echo "serve signals: ok"
