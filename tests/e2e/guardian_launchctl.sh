#!/usr/bin/env bash
# The launch-control and installer stand-ins of the simulated machine: a job is installed,
# loaded, kept alive when its program dies, left alone by kickstart, and gone after bootout.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
sim=$(readlink -f "$(dirname "$0")/../../sim")

helper=/Library/PrivilegedHelperTools/app.tavrin.vigilon.guardian
definition=/Library/LaunchDaemons/app.tavrin.vigilon.guardian.plist
target=system/app.tavrin.vigilon.guardian
hash=0123456789abcdef0123456789abcdef01234567

# The guardian's runner hands its tools exactly these three variables.
lctl() { env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin LANG=C LC_ALL=C timeout 10 /bin/launchctl "$@"; }

# A stand-in guardian: registration is recorded, the watcher just stays up.
dummy=/tmp/dummy-guardian
cat >"$dummy" <<'DUMMY'
#!/bin/bash
case $1 in
register) echo "$*" >/run/dummy-register ;;
watch) echo $$ >>/run/dummy-watch-pids; exec /bin/sleep 1000 ;;
esac
DUMMY
chmod 0755 "$dummy"

# --- the installer
"$sim/install-guardian" 501 "$hash" "$dummy" || fail "install-guardian failed"
expect_eq "$(cat /run/dummy-register)" "register 501 $hash" "registration ran with the owner and hash"
expect_eq "$(stat -c '%U %a %F' "$helper")" "root 755 regular file" "guardian program"
expect_eq "$(stat -c '%U %a %F' "$definition")" "root 644 regular file" "job definition"
expect_eq "$(stat -c '%U %a %F' "/Library/Application Support/TavrinVigilon")" "root 755 directory" "data directory"
expect_eq "$(stat -c '%U %a %F' /Library/PrivilegedHelperTools/.app.tavrin.vigilon.install.lock)" \
    "root 600 regular empty file" "install lock"
flock -n /Library/PrivilegedHelperTools/.app.tavrin.vigilon.install.lock true || fail "install lock still held"
grep -q "<string>$helper</string>" "$definition" || fail "definition names the program"

run_capture "$sim/install-guardian" 501
expect_eq "$status" 2 "installer usage"

# --- not loaded yet
run_capture lctl print "$target"
expect_eq "$status" 113 "print before bootstrap"
expect_eq "$err" 'Could not find service "app.tavrin.vigilon.guardian" in domain for system' "print message"
run_capture lctl kickstart "$target"
expect_eq "$status" 113 "kickstart before bootstrap"

# --- bootstrap starts the program with "watch", detached from the caller's output
out=$(lctl bootstrap system "$definition") || fail "bootstrap failed"
wait_for /run/dummy-watch-pids
first=$(head -n 1 /run/dummy-watch-pids)
kill -0 "$first" || fail "job not running"
expect_eq "$(tr '\0' ' ' </proc/"$first"/cmdline)" "/bin/sleep 1000 " "job runs the program"
run_capture lctl print "$target"
expect_eq "$status" 0 "print after bootstrap"
grep -q 'state = running' <<<"$out" || fail "print shows the job running: $out"
run_capture lctl bootstrap system "$definition"
expect_eq "$status" 5 "second bootstrap"
expect_eq "$err" "Bootstrap failed: 5: Input/output error" "second bootstrap message"

# --- the job is kept alive
kill -9 "$first"
for ((i = 0; i < 60; i++)); do
    [[ $(wc -l </run/dummy-watch-pids) -ge 2 ]] && break
    sleep 0.05
done
second=$(sed -n 2p /run/dummy-watch-pids)
[[ -n $second ]] || fail "job not restarted after it died"
kill -0 "$second" || fail "restarted job not running"
kill -0 "$first" 2>/dev/null && fail "old job still there"
grep -q 'runs = 2' <<<"$(lctl print "$target")" || fail "two runs counted"

# kickstart leaves a running job alone
lctl kickstart "$target" || fail "kickstart failed"
sleep 0.3
expect_eq "$(wc -l </run/dummy-watch-pids)" 2 "kickstart started nothing new"

# --- bootout stops the job and its supervisor for good
supervisor=$(cat /run/sim-launchd/app.tavrin.vigilon.guardian/supervisor.pid)
lctl bootout "$target" || fail "bootout failed"
kill -0 "$second" 2>/dev/null && fail "job survived bootout"
kill -0 "$supervisor" 2>/dev/null && fail "supervisor survived bootout"
sleep 1
expect_eq "$(wc -l </run/dummy-watch-pids)" 2 "nothing restarted after bootout"
run_capture lctl print "$target"
expect_eq "$status" 113 "print after bootout"
run_capture lctl bootout "$target"
expect_eq "$status" 113 "second bootout"

# Loading it again after an unload starts it again.
lctl bootstrap system "$definition" || fail "bootstrap again"
for ((i = 0; i < 100; i++)); do
    [[ $(wc -l </run/dummy-watch-pids) -ge 3 ]] && break
    sleep 0.05
done
third=$(sed -n 3p /run/dummy-watch-pids)
[[ -n $third ]] || fail "job not started again after bootout"
kill -0 "$third" || fail "job started again is not running"
lctl bootout "$target" || fail "bootout again"

# --- refusals
chmod 0664 "$definition"
run_capture lctl bootstrap system "$definition"
expect_eq "$status" 5 "group-writable definition"
run_capture lctl bootstrap system /Library/LaunchDaemons/missing.plist
expect_eq "$status" 2 "missing definition"
run_capture lctl list
expect_eq "$status" 64 "unknown subcommand"
run_capture lctl print app.tavrin.vigilon.guardian
expect_eq "$status" 64 "target without domain"

echo "guardian launchctl: ok"
