#!/usr/bin/env bash
# The guardian's command line: usage, root, the data directory's trust, register's refusal of
# root, stop and restore, restore refusing to touch the setting without a ready watcher, and a
# daemon that cannot verify its installation.
set -euo pipefail
. "$(dirname "$0")/guardian_lib.sh"

usage="Usage: guardian stop | restore | watch. Start sessions from the signed Tavrin app."

# expect_failure TEXT CMD...: exit status 1, TEXT alone on standard error, nothing on standard output.
expect_failure() {
    local text=$1
    shift
    run_capture "$@"
    [[ $status -eq 1 && $err == "$text" && -z $out ]] || fail "$*: expected [$text], got $status [$out] [$err]"
}

# --- usage, before anything else and for anyone
expect_failure "$usage" "$guardian"
expect_failure "$usage" "$guardian" stop now
expect_failure "$usage" "$guardian" Stop
expect_failure "$usage" "$guardian" register 501
expect_failure "$usage" "$guardian" register 4294967296 0123456789abcdef0123456789abcdef01234567
expect_failure "$usage" "$guardian" register 501 0123456789ABCDEF0123456789ABCDEF01234567
expect_failure "$usage" as_user vane "$guardian" watch now

# --- root
for command in stop restore watch; do
    expect_failure "Administrator authorization is required." as_user vane "$guardian" "$command"
done
expect_failure "Administrator authorization is required." as_user vane "$guardian" register 501 0123456789abcdef0123456789abcdef01234567

# --- the data directory is never created by the guardian
expect_failure "Unsafe ownership or permissions: $data" "$guardian" stop
[[ ! -e $data ]] || fail "the guardian created its data directory"

install_guardian

expect_failure "올바르지 않은 설치 정보입니다." "$guardian" register 0 "$client_hash"
expect_failure "올바르지 않은 설치 정보입니다." "$guardian" register +0 "$client_hash"

chmod 0775 "$data"
for command in stop restore watch; do
    expect_failure "Unsafe ownership or permissions: $data" "$guardian" "$command"
done
chmod 0755 "$data"

# --- stop and restore
expect_answer 완료 start 10
run_capture "$guardian" stop
expect_eq "$status $out" "0 Stopped." "stop"
expect_ended userStopped
flock -n "$data/guardian.lock" true || fail "guardian lock held after stop"

pmset -a disablesleep 1
run_capture "$guardian" restore
expect_eq "$status $out" "0 Normal sleep restored." "restore"
expect_ended manualRestore

# --- restore without a watcher that can be made ready leaves the setting alone
pmset -a disablesleep 1
definition=/Library/LaunchDaemons/app.tavrin.vigilon.guardian.plist
chmod 0664 "$definition"
expect_failure "Unsafe ownership or permissions: $definition" "$guardian" restore
expect_eq "$(sleep_disabled)" 1 "SleepDisabled after a failed restore"
chmod 0644 "$definition"
pmset -a disablesleep 0

# --- a daemon that cannot verify its installation opens no endpoint
/bin/launchctl bootout "$target"
socket=/var/run/app.tavrin.vigilon.guardian.sock
rm -f "$socket"  # what a daemon ended by a signal leaves behind
cp "$helper" /tmp/guardian-rebuilt
printf 'x' >>/tmp/guardian-rebuilt
install -o root -g root -m 0755 /tmp/guardian-rebuilt "$helper"
expect_failure "설치된 도우미 서명이 일치하지 않습니다." "$helper" watch
[[ ! -e $socket ]] || fail "endpoint opened by a guardian that is not the registered one"
mv "$data/installation.json" /tmp/installation.json
expect_failure "도우미 설치가 필요합니다." "$guardian" watch
[[ ! -e $socket ]] || fail "endpoint opened without an installation"

echo "guardian command line: ok"
