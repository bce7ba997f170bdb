#!/usr/bin/env bash
# The sandbox as a program inside it sees it.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

expect_eq "$(id -u)" 0 "runs as root"
expect_eq "$(readlink -f /var/run)" /run "/var/run leads to /run"
expect_eq "$(stat -c '%U %a' /run /Library)" $'root 755\nroot 755' "fresh /run and /Library"
expect_eq "$(ls /Library)" "" "empty /Library"
expect_eq "$(stat -c '%U %a %F' /var/run/virtual-smc.sock)" "root 666 socket" "device socket"
expect_eq "$(stat -c '%U %a %F' /var/run/virtual-smc.ctl)" "root 600 socket" "control socket"
expect_eq "$(getent passwd vane other | cut -d: -f1,3,4,6)" $'vane:501:501:/tmp/vane\nother:502:502:/tmp/other' "users"
expect_eq "$(stat -c '%U' /tmp/vane /tmp/other)" $'vane\nother' "homes"

# A pid namespace of its own: process 1 is the runner, and little else runs.
grep -q -- '--inside' /proc/1/cmdline || fail "process 1 is not the runner"
n=$(ls -d /proc/[0-9]* | wc -l)
[[ $n -lt 20 ]] || fail "$n processes visible"

# Installed programs are root-owned copies, not links.
for p in /usr/local/bin/virtual-smc /usr/local/bin/sim-reboot; do
    expect_eq "$(stat -c '%U %a %F' "$p")" "root 755 regular file" "$p"
done
if [[ -f /work/main/sim/pmset ]]; then
    expect_eq "$(stat -c '%U %a %F' /usr/bin/pmset)" "root 755 regular file" "pmset"
fi

# Battery and thermal zone, writable by tests.
b=/sys/class/power_supply/BAT0
expect_eq "$(cat $b/type $b/scope $b/capacity $b/status)" $'Battery\nSystem\n80\nDischarging' "battery"
echo 12 >$b/capacity
expect_eq "$(cat $b/capacity)" 12 "battery rewritten"
z=/sys/class/thermal/thermal_zone0
expect_eq "$(cat $z/temp $z/trip_point_0_type $z/trip_point_0_temp)" $'45000\npassive\n95000' "thermal zone"
echo 96000 >$z/temp
expect_eq "$(cat $z/temp)" 96000 "thermal zone rewritten"

# The boot identity holds still until a simulated reboot changes it.
id1=$(cat /proc/sys/kernel/random/boot_id)
expect_eq "$(cat /proc/sys/kernel/random/boot_id)" "$id1" "boot id stable"
id2=$(sim-reboot)
[[ "$id2" != "$id1" ]] || fail "reboot kept the boot id"
expect_eq "$(cat /proc/sys/kernel/random/boot_id)" "$id2" "boot id after the reboot"
expect_eq "$(sim-reboot 11111111-2222-3333-4444-555555555555)" 11111111-2222-3333-4444-555555555555 "chosen boot id"
expect_eq "$(cat /proc/sys/kernel/random/boot_id)" 11111111-2222-3333-4444-555555555555 "chosen boot id read"

# The source tree is visible but cannot be written from here.
[[ -f /work/main/sim/machine ]] || fail "source tree not visible"
if touch /work/main/.sim-write-check 2>/dev/null; then
    rm -f /work/main/.sim-write-check
    fail "source tree writable"
fi
echo "sim_machine: ok"
