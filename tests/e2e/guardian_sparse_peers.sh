#!/usr/bin/env bash
# The guardian beside two floods of connections from 64 GiB sparse programs, one of another
# user and one of the owner: another user's peer is refused before its program is looked at,
# the owner's other program is judged without reading it, and the owner's front end is answered
# at once meanwhile.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian
expect_answer 완료 start 10

floods=()
trap 'kill "${floods[@]}" 2>/dev/null || true' EXIT
for user in other vane; do
    huge=/tmp/$user/huge-client
    install -o "$user" -g "$user" -m 0755 /usr/local/bin/vigilon-client "$huge"
    truncate -s 64G "$huge"
    (while :; do as_user "$user" "$huge" ping --expect "$guardian_hash" >/dev/null 2>&1 || true; done) &
    floods+=($!)
done
sleep 1

for verb in ping stop; do
    began=$(ms_now)
    expect_answer "$([[ $verb == ping ]] && echo 3 || echo 완료)" "$verb"
    took=$(($(ms_now) - began))
    echo "$verb answered in $took ms beside the floods"
    ((took < 3000)) || fail "$verb took $took ms"
done
expect_ended userStopped
echo "guardian sparse peers: ok"
