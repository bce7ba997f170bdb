#!/usr/bin/env bash
# A daemon killed while its power-management tool hangs takes the tool with it. The tool holds
# the guardian lock (its standard input) while it runs; left behind, it would keep the restarted
# daemon's launch recovery waiting and the session's SleepDisabled unwatched. Here the restarted
# daemon restores normal sleep promptly, and nothing of the old daemon is left.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian

expect_answer 완료 start 10
expect_eq "$(sleep_disabled)" 1 "SleepDisabled during the session"

# The watcher's next status read hangs; it is killed in the middle of it.
victim=$(watcher_pid)
touch /run/sim-pmset/hang-get
hanging() { tool=$(tool_of "$victim" '^/bin/sleep 86400'); [[ -n $tool ]]; }
until_true hanging
kill -9 "$victim"
killed=$(ms_now)
rm -f /run/sim-pmset/hang-get

UNTIL_LIMIT=1 until_true process_gone "$tool"

UNTIL_LIMIT=5 until_true watcher_replaced "$victim"
UNTIL_LIMIT=5 until_true marker_gone
elapsed=$(($(ms_now) - killed))
((elapsed < 3000)) || fail "normal sleep came back only ${elapsed} ms after the kill"
expect_ended restarted

# Nothing of the old daemon remains: no process of its group, no child of it.
[[ -z $(pgrep -g "$victim" || true) ]] || fail "processes of the old daemon remain: $(pgrep -a -g "$victim")"
[[ -z $(pgrep -P "$victim" || true) ]] || fail "children of the old daemon remain"

/bin/launchctl bootout "$target"
echo "guardian hung tool: ok"
