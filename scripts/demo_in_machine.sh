#!/usr/bin/env bash
# The demo itself; runs as root inside the simulated machine.
set -euo pipefail

summary() {
    jq -r '
      "thermal state: \(["nominal","fair","serious","critical"][.thermal] // .thermal)",
      "hottest sensor: \(if .temperature then "\(.temperature * 10 | round / 10) °C" else "unreadable" end)",
      (.fans[] | "fan \(.id): \(.actual | round) rpm (range \(.minimum // "?")-\(.maximum // "?"), target \(.target // "?"), \(if .mode == 1 then "manual" elif .mode == null then "mode unknown" else "automatic" end))"),
      "under manual control: \(if (.controlled | length) == 0 then "none" else (.controlled | map(tostring) | join(", ")) end)",
      (if .notice then "notice: \(.notice)" else empty end)'
}

echo "== Airvane --status (as the unprivileged user 'vane')"
json=$(setpriv --reuid=vane --regid=vane --clear-groups Airvane --status)
echo "$json"
echo
echo "$json" | summary
