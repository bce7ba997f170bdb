#!/usr/bin/env bash
# Another user floods the guardian's endpoint with connections; none of them counts against the
# limit of connections, so the owner's front end is never refused.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian
socket=/var/run/app.tavrin.vigilon.guardian.sock

# Each flood keeps up to 64 connections open, opening new ones as fast as it can, until the stop
# file appears; it then leaves the number it opened in its own file.
stop=/tmp/flood-stop
floods=()
trap 'touch "$stop"; wait "${floods[@]}" 2>/dev/null || true' EXIT
for n in 1 2; do
    as_user other python3 -c '
import os, socket, sys
path, stop, out = sys.argv[1:4]
opened, count = [], 0
while not os.path.exists(stop):
    s = socket.socket(socket.AF_UNIX)
    try:
        s.settimeout(2)
        s.connect(path)
        opened.append(s)
        count += 1
    except OSError:
        s.close()
    if len(opened) >= 64:
        for s in opened:
            s.close()
        opened = []
open(out, "w").write(str(count))
' "$socket" "$stop" "/tmp/other/flood-$n" &
    floods+=($!)
done
sleep 1

pings=40
refused=0
for ((i = 0; i < pings; i++)); do
    client ping
    [[ $status -eq 0 && $out == 3 ]] || refused=$((refused + 1))
done
touch "$stop"
wait "${floods[@]}"
opened=$(($(cat /tmp/other/flood-1) + $(cat /tmp/other/flood-2)))
echo "owner refused in $refused of $pings pings while another user opened $opened connections"
expect_eq "$refused" 0 "owner pings refused"
((opened > 1000)) || fail "the flood opened only $opened connections"
echo "guardian owner flood: ok"
