#!/usr/bin/env bash
# The installer's lock as the guardian's service meets it: missing, readable by others, held by
# another process; each answered with its own text at once, while ping still answers.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

install_guardian

# expect_fast_refusal TEXT VERB...: refused with TEXT within a second.
expect_fast_refusal() {
    local started elapsed
    started=$(date +%s%N)
    expect_refusal "$@"
    elapsed=$((($(date +%s%N) - started) / 1000000))
    ((elapsed < 1000)) || fail "$2 took ${elapsed} ms: it waited"
}

# --- held by the installer (another process)
(exec 9<>"$install_lock" && flock -x 9 && exec sleep 30) &
holder=$!
held() { ! flock -n "$install_lock" true; }
until_true held
busy="설치 또는 제거가 진행 중입니다. 잠시 후 다시 시도해 주세요."
expect_fast_refusal "$busy" start 10
expect_fast_refusal "$busy" stop
expect_fast_refusal "$busy" restore
expect_answer 3 ping
expect_eq "$(sleep_disabled)" 0 "SleepDisabled while the installer works"
kill "$holder"
wait "$holder" 2>/dev/null || true

# A session started now holds neither lock afterwards.
expect_answer 완료 start 10
flock -n "$install_lock" true || fail "install lock still held after start"
flock -n "$data/guardian.lock" true || fail "guardian lock still held after start"

# --- readable by group or others
for mode in 0640 0604 0660; do
    chmod "$mode" "$install_lock"
    expect_fast_refusal "안전하지 않은 설치 잠금입니다." stop
done
chmod 0600 "$install_lock"

# --- another owner
chown 501 "$install_lock"
expect_fast_refusal "안전하지 않은 설치 잠금입니다." stop
chown 0 "$install_lock"

# --- missing, or a link in its place
mv "$install_lock" "$install_lock.away"
expect_fast_refusal "도우미 설치 잠금을 확인할 수 없습니다." stop
[[ ! -e $install_lock ]] || fail "the guardian created the install lock"
ln -s "$install_lock.away" "$install_lock"
expect_fast_refusal "도우미 설치 잠금을 확인할 수 없습니다." stop
expect_answer 3 ping
rm "$install_lock"
mv "$install_lock.away" "$install_lock"

# The session went on through all of it and ends normally.
expect_eq "$(sleep_disabled)" 1 "SleepDisabled kept"
expect_answer 완료 stop
expect_ended userStopped

/bin/launchctl bootout "$target"
echo "guardian install lock: ok"
