#!/usr/bin/env bash
# The other flavours of the device: "intel" (run by the sandbox with --load 10) with fixed-point
# fans, sp78 sensors and an upper-case mode key that needs no Ftst; "newer" (started here on a
# socket of its own) with the lower-case mode key and no Ftst. Also: load heats the die, heat
# speeds up fans in automatic mode.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

probe() { virtual-smc probe "$@"; }
result() { probe "$@" | sed -n 's/.* result=\(0x[0-9a-f]*\) .*/\1/p'; }
bytes() { probe "$@" | sed -n 's/.* bytes=\([0-9a-f]*\)$/\1/p'; }
above() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a > b) }'; }

expect_eq "$(probe info F0Md)" 'rc=0x00000000 result=0x00 size=1 type="ui8 " bytes=' "intel mode key"
expect_eq "$(result info F0md)" 0x84 "intel has no lower-case mode key"
expect_eq "$(result info Ftst)" 0x84 "intel has no Ftst"
expect_eq "$(probe info F0Ac)" 'rc=0x00000000 result=0x00 size=2 type="fpe2" bytes=' "fpe2 fan key"
expect_eq "$(probe info TC0P)" 'rc=0x00000000 result=0x00 size=2 type="sp78" bytes=' "sp78 sensor"
expect_eq "$(bytes read F1Mx)" 60dc "F1Mx 6199 RPM in fpe2"

# No Ftst: the mode key takes a forced mode at once; fpe2 target 3000 = 0x2ee0.
expect_eq "$(result write F0Md 01)" 0x00 "forced mode"
expect_eq "$(result write F0Tg 2ee0)" 0x00 "fpe2 target"
sleep 1.2
a=$(virtual-smc ctl get F0Ac)
above "$a" 2500 || fail "fan 0 at $a RPM after a target of 3000"

# Load heats the die.
t0=$(virtual-smc ctl get TC0P)
virtual-smc ctl load 100
sleep 2
t1=$(virtual-smc ctl get TC0P)
above "$t1" "$(awk -v t="$t0" 'BEGIN { print t + 5 }')" || fail "TC0P went from $t0 to only $t1 under full load"

# A hot sensor drives the automatic fan to its maximum; the forced fan keeps its target.
virtual-smc ctl set TC0D 95
sleep 0.2
expect_eq "$(virtual-smc ctl get F1Tg)" 6199 "automatic target when hot"
expect_eq "$(virtual-smc ctl get F0Tg)" 3000 "forced target when hot"

# A second device of the "newer" flavour on sockets of its own: one fan, no Ftst.
virtual-smc --profile newer --fans 1 --socket /tmp/newer.sock --ctl-socket /tmp/newer.ctl >/tmp/newer.log 2>&1 &
for _ in $(seq 50); do [[ -S /tmp/newer.ctl ]] && break; sleep 0.05; done
newer() { virtual-smc --socket /tmp/newer.sock --ctl-socket /tmp/newer.ctl "$@"; }
expect_eq "$(newer probe info F0md)" 'rc=0x00000000 result=0x00 size=1 type="ui8 " bytes=' "newer mode key"
expect_eq "$(newer probe read FNum | sed 's/.* bytes=//')" 01 "one fan"
expect_eq "$(newer probe info Ftst | sed -n 's/.* result=\(0x[0-9a-f]*\) .*/\1/p')" 0x84 "newer has no Ftst"
expect_eq "$(newer probe write F0md 01 | sed -n 's/.* result=\(0x[0-9a-f]*\) .*/\1/p')" 0x00 "newer forced at once"
expect_eq "$(newer ctl get F0md)" 1 "newer mode"
# A second device on a socket in use is refused.
run_capture virtual-smc --socket /tmp/newer.sock --ctl-socket /tmp/other.ctl
expect_eq "$status/$err" "1/virtual-smc: a device already answers at /tmp/newer.sock" "second device"
kill %1
wait || true
[[ ! -e /tmp/newer.sock && ! -e /tmp/newer.ctl ]] || fail "sockets left behind"
echo "sim_profiles: ok"
