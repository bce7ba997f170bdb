#!/usr/bin/env bash
# The virtual SMC as a client sees it: record answers, control commands, the gated manual
# switch, the lagging hand-back and injected faults. Runs with an unlock delay of 2 s.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

probe() { virtual-smc probe "$@"; }
result() { probe "$@" | sed -n 's/.* result=\(0x[0-9a-f]*\) .*/\1/p'; }
rc() { probe "$@" | sed -n 's/^rc=\(0x[0-9a-f]*\) .*/\1/p'; }
bytes() { probe "$@" | sed -n 's/.* bytes=\([0-9a-f]*\)$/\1/p'; }
above() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a > b) }'; }

# Key info and reads.
expect_eq "$(probe info FNum)" 'rc=0x00000000 result=0x00 size=1 type="ui8 " bytes=' "FNum info"
expect_eq "$(bytes read FNum)" 02 "two fans"
expect_eq "$(probe info F0Ac)" 'rc=0x00000000 result=0x00 size=4 type="flt " bytes=' "F0Ac info"
expect_eq "$(probe info F1md)" 'rc=0x00000000 result=0x00 size=1 type="ui8 " bytes=' "F1md info"
expect_eq "$(result info F0Md)" 0x84 "no upper-case mode key"
expect_eq "$(result read Tp0Y)" 0x84 "sensor this machine lacks"
expect_eq "$(result write F0Ac 00000000)" 0x82 "current speed is read-only"
expect_eq "$(result write F0Tg 0000)" 0x82 "write of the wrong size"
t=$(virtual-smc ctl get Tp09)
above "$t" 20 && above 80 "$t" || fail "idle temperature $t"

# Control: set pins a driven key until freed; dump is one line of JSON.
virtual-smc ctl set Tp01 71.5
sleep 0.2
expect_eq "$(virtual-smc ctl get Tp01)" 71.5 "pinned sensor"
virtual-smc ctl free Tp01
sleep 0.2
[[ "$(virtual-smc ctl get Tp01)" != 71.5 ]] || fail "freed sensor still pinned"
out=$(virtual-smc ctl dump)
expect_eq "$(wc -l <<<"$out")" 1 "dump lines"
expect_eq "$(jq -c '[.profile, .keys.FNum.value, .options.unlock_delay, .keys.Ftst.type]' <<<"$out")" \
    '["apple",2,2,"ui8 "]' "dump"
run_capture virtual-smc ctl set NOPE 1
expect_eq "$status/$err" '1/virtual-smc: unknown key "NOPE" (create it with retype)' "set of a missing key"
run_capture virtual-smc ctl set FNum 1.5
expect_eq "$status" 1 "set of a value the type cannot hold"

# The manual switch is refused until Ftst has read 1 for the unlock delay.
expect_eq "$(result write F0md 01)" 0x82 "forced mode before Ftst"
expect_eq "$(result write Ftst 01)" 0x00 "Ftst write"
expect_eq "$(result write F0md 01)" 0x82 "forced mode right after Ftst"
expect_eq "$(jq .ftst.unlocked <<<"$(virtual-smc ctl dump)")" false "still locked"
sleep 2.1
expect_eq "$(result write F0md 01)" 0x00 "forced mode after the delay"
expect_eq "$(bytes read F0md)" 01 "mode reads forced"

# A forced fan spins toward the written target (3000 RPM) within about a time constant.
expect_eq "$(result write F0Tg 00803b45)" 0x00 "target write"
sleep 1.5
a=$(virtual-smc ctl get F0Ac)
above "$a" 2400 && above 3001 "$a" || fail "fan 0 at $a RPM 1.5 s after a target of 3000"

# Injected faults: refusals, failed calls (transport code or result byte), odd key-info sizes.
virtual-smc ctl refuse F0Tg 2
expect_eq "$(result write F0Tg 00803b45) $(result write F0Tg 00803b45) $(result write F0Tg 00803b45)" \
    "0x82 0x82 0x00" "two refusals"
virtual-smc ctl fail F0Tg 1 rc 0xe00002c7 write applied
expect_eq "$(rc write F0Tg 00c05a45)" 0xe00002c7 "failed call that took effect"
expect_eq "$(virtual-smc ctl get F0Tg)" 3500 "value of the failed but applied write"
virtual-smc ctl fail F1Ac 1 rc 0xe00002bc read
expect_eq "$(rc read F1Ac) $(rc read F1Ac)" "0xe00002bc 0x00000000" "one failed read"
virtual-smc ctl fail FNum always result 0x85 info
expect_eq "$(result info FNum) $(result info FNum) $(result read FNum)" "0x85 0x85 0x00" "key info fails for good"
virtual-smc ctl clear FNum
virtual-smc ctl info-size FNum 33 1
expect_eq "$(probe info FNum | grep -o 'size=[0-9]*') $(probe info FNum | grep -o 'size=[0-9]*')" \
    "size=33 size=1" "one key-info answer of size 33"
virtual-smc ctl info-size Tp05 0
expect_eq "$(probe info Tp05 | grep -o 'size=[0-9]*')" size=0 "key info of size 0"
virtual-smc ctl clear
expect_eq "$(probe info Tp05 | grep -o 'size=[0-9]*')" size=4 "cleared"
expect_eq "$(jq '.calls.F1Ac.read >= 2 and (.faults | length) == 0' <<<"$(virtual-smc ctl dump)")" true "counts"

# Mode 0 hands the fan back only after the release delay; meanwhile it still reads 1.
expect_eq "$(result write F0md 00)" 0x00 "mode 0 write"
expect_eq "$(bytes read F0md)" 01 "mode right after the hand-back"
sleep 0.5
expect_eq "$(bytes read F0md)" 00 "mode after the release delay"

# Ftst 0 locks the switch again.
expect_eq "$(result write Ftst 00)" 0x00 "Ftst reset"
expect_eq "$(result write F0md 01)" 0x82 "forced mode after the Ftst reset"

# Without Ftst the mode key works directly; a stuck fan stays forced.
virtual-smc ctl delete Ftst
expect_eq "$(result info Ftst)" 0x84 "Ftst deleted"
expect_eq "$(result write F1md 01)" 0x00 "forced mode without Ftst"
virtual-smc ctl stuck on 1
expect_eq "$(result write F1md 00)" 0x00 "hand-back of a stuck fan is accepted"
sleep 0.5
expect_eq "$(bytes read F1md)" 01 "stuck fan still forced"
virtual-smc ctl stuck off 1
probe write F1md 00 >/dev/null
sleep 0.5
expect_eq "$(bytes read F1md)" 00 "unstuck fan handed back"

# Retyping changes what key info reports.
virtual-smc ctl retype F1Mn ui16 04b0
expect_eq "$(probe info F1Mn)" 'rc=0x00000000 result=0x00 size=2 type="ui16" bytes=' "retyped key"
expect_eq "$(virtual-smc ctl get F1Mn)" 1200 "retyped value"

# Everyone may talk to the device; only root may steer it.
run_capture as_user vane virtual-smc probe read FNum
expect_eq "$status/$out" "0/rc=0x00000000 result=0x00 size=1 type=\"\" bytes=02" "plain user reads"
run_capture as_user vane virtual-smc ctl dump
expect_eq "$status/$out" "1/" "plain user steers"
echo "sim_device: ok"
