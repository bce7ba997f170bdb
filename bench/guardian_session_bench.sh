#!/usr/bin/env bash
# Figures of a guardian session's start and restore, inside the simulated machine:
#   sim/machine bash bench/guardian_session_bench.sh [BUILD_DIR]
# Child processes and wall time (median of 100), then the files flushed to stable storage per
# start-and-restore round, counted as fsync calls of the guardian itself.
set -euo pipefail
build=${1:-$(cd "$(dirname "$0")/.." && pwd)/build}
# start itself says "Started for 10 minutes." each round, as it does on the command line.
"$build/bench/guardian_session_bench" 100 | grep -v "^Started for"
rounds=10
calls=$(strace -f -qq -c -e trace=fsync,fdatasync "$build/bench/guardian_session_bench" "$rounds" 2>&1 >/dev/null |
    awk '$NF == "fsync" || $NF == "fdatasync" {n += $4} END {print n + 0}')
echo "flushes (fsync of files and directories) per start + restore round: $((calls / rounds))"
