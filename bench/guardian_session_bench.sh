#!/usr/bin/env bash
# Figures of a guardian session's start and restore, inside the simulated machine:
#   sim/machine bash bench/guardian_session_bench.sh [BUILD_DIR]
# Child processes and wall time (median of 100), then the files flushed to stable storage by
# one start and by one restore, counted as fsync calls of the guardian itself.
set -euo pipefail
command -v strace >/dev/null || { echo "guardian_session_bench: needs strace (apt-get install strace)" >&2; exit 2; }
echo "guardian_session_bench: 100 timed sessions, then 10 traced ones (about a minute)" >&2
build=${1:-$(cd "$(dirname "$0")/.." && pwd)/build}
# start itself says "Started for 10 minutes." each round, as it does on the command line.
"$build/bench/guardian_session_bench" 100 | grep -v "^Started for"
rounds=10
# Every start and every restore holds the guardian lock: each LOCK_EX opens the next phase.
trace=$(mktemp)
strace -f -qq -o "$trace" -e trace=fsync,fdatasync,flock "$build/bench/guardian_session_bench" "$rounds" >/dev/null
awk -v rounds="$rounds" '
    /flock\(.*LOCK_EX/ { phase = (locks++ % 2 == 0) ? "start" : "restore" }
    /(fsync|fdatasync)\(/ && phase != "" { flushes[phase]++ }
    END {
        printf "flushes (fsync of files and directories): start %d, restore %d\n",
            flushes["start"] / rounds, flushes["restore"] / rounds
    }' "$trace"
rm -f "$trace"
