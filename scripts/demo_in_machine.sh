#!/usr/bin/env bash
# The demo itself; runs as root inside the simulated machine.
set -euo pipefail

summary() {
    jq -r '
      "  thermal state: \(["nominal","fair","serious","critical"][.thermal] // .thermal)",
      "  hottest sensor: \(if .temperature then "\(.temperature * 10 | round / 10) °C" else "unreadable" end)",
      (.fans[] | "  fan \(.id): \(.actual | round) rpm (range \(.minimum // "?")-\(.maximum // "?"), target \(.target // "?" | if type == "number" then round else . end), \(if .mode == 1 then "manual" elif .mode == null then "mode unknown" else "automatic" end))"),
      "  under manual control: \(if (.controlled | length) == 0 then "none" else (.controlled | map(tostring) | join(", ")) end)",
      (if .notice then "  notice: \(.notice)" else empty end)'
}

as_vane() { setpriv --reuid=vane --regid=vane --clear-groups "$@"; }

echo "== Airvane --status (as the unprivileged user 'vane')"
json=$(as_vane Airvane --status)
echo "$json"
echo "$json" | summary

uuid=$(cat /proc/sys/kernel/random/uuid | tr a-z A-Z)
sock=/var/run/fantavrin.$uuid/control.sock
echo
echo "== Airvane --serve 501 $uuid (as root: one control session for 'vane')"
Airvane --serve 501 "$uuid" &
helper=$!
for _ in $(seq 100); do [[ -S $sock ]] && break; sleep 0.05; done
ls -ld "$(dirname "$sock")" "$sock"

send() {
    echo
    echo "-> $1"
    reply=$(as_vane fan-client "$sock" "$1") || [[ $? == 2 ]]
    echo "<- $reply"
    jq -e '.snapshot' >/dev/null <<<"$reply" && jq '.snapshot' <<<"$reply" | summary || true
}

send '{"command":"heartbeat"}'
echo
echo "(the SMC refuses the manual switch until its test key has been set for a few seconds;"
echo " the helper waits for it, up to ten seconds)"
send '{"command":"set","fan":0,"rpm":3200}'
sleep 2
send '{"command":"heartbeat"}'
send '{"command":"quit"}'
status=0
wait "$helper" || status=$?
echo
echo "helper exited with status $status; session directory left behind: $([[ -e $(dirname "$sock") ]] && echo yes || echo no)"
echo "fan 0 mode key now: $(virtual-smc ctl get F0md) (0 = automatic), Ftst: $(virtual-smc ctl get Ftst)"

# ---------------------------------------------------------------------------------------------
echo
echo "== guardian: installed and registered for 'vane' and the front end's stand-in"
src=$(cd "$(dirname "$0")/.." && pwd)
client_hash=$(sha256sum /usr/local/bin/vigilon-client | cut -c1-40)
"$src/sim/install-guardian" 501 "$client_hash"
guardian_hash=$(sha256sum /Library/PrivilegedHelperTools/app.tavrin.vigilon.guardian | cut -c1-40)
echo "front end code hash: $client_hash"
echo "guardian code hash:  $guardian_hash"

front_end() {
    echo "-> vigilon-client $*"
    local answer
    answer=$(as_vane vigilon-client "$@" --expect "$guardian_hash" 2>&1) || true
    echo "<- $answer"
}
sleep_disabled() { pmset -g | awk '/SleepDisabled/ {print $2}'; }

echo
front_end ping
front_end start 10 fair
echo "   SleepDisabled is now $(sleep_disabled); the session record:"
jq -c '{active, minutes: ((.deadlineUptime - .startedUptime) / 60), thermalLimit}' \
    "/Library/Application Support/TavrinVigilon/state.json" | sed 's/^/   /'
front_end start 20 fair
front_end stop
echo "   SleepDisabled is now $(sleep_disabled); the record says why the session ended:"
jq -c '{active, stopReason}' "/Library/Application Support/TavrinVigilon/state.json" | sed 's/^/   /'

echo
echo "== the daemon killed in the middle of a session comes back and restores normal sleep"
front_end start 30 fair
echo "   SleepDisabled is $(sleep_disabled); killing the daemon (pid $(cat /run/sim-launchd/app.tavrin.vigilon.guardian/job.pid))"
kill -9 "$(cat /run/sim-launchd/app.tavrin.vigilon.guardian/job.pid)"
for _ in $(seq 100); do [[ $(sleep_disabled) == 0 ]] && break; sleep 0.1; done
echo "   SleepDisabled is $(sleep_disabled) again; the record:"
jq -c '{active, stopReason}' "/Library/Application Support/TavrinVigilon/state.json" | sed 's/^/   /'
for _ in $(seq 100); do
    [[ $(as_vane vigilon-client ping --expect "$guardian_hash" 2>/dev/null) == 3 ]] && break
    sleep 0.1
done
front_end start 10 fair
echo "   (a crashed session is followed by 120 seconds of nominal thermal readings before the next)"
