#!/usr/bin/env bash
# `cmake --install` stages the programs and the launch-daemon definition at their fixed paths,
# the programs stripped and pointing at their debug information kept in the build tree.
# Usage: install_layout.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$stage" >/dev/null
tools=$stage/Library/PrivilegedHelperTools
for program in Airvane app.tavrin.vigilon.guardian; do
    [[ -x $tools/$program ]] || fail "$program not installed"
    [[ $(stat -c %a "$tools/$program") == 755 ]] || fail "$program mode"
    # Not piped: under pipefail, grep -q leaving the pipe early would decide the check at random.
    sections=$(readelf -S "$tools/$program")
    grep -q '\.debug_info' <<<"$sections" && fail "$program still carries its debug information"
    grep -q '\.gnu_debuglink' <<<"$sections" || fail "$program does not name its debug file"
    [[ -s $build/debug-info/$program.debug ]] || fail "no debug information kept for $program"
done
definition=$stage/Library/LaunchDaemons/app.tavrin.vigilon.guardian.plist
cmp -s "$definition" "$(dirname "$0")/../../TavrinVigilonGuardian/app.tavrin.vigilon.guardian.plist" ||
    fail "the installed definition is not the repository's"
[[ $(stat -c %a "$definition") == 644 ]] || fail "definition mode"
"$tools/Airvane" --status >/dev/null 2>&1 && fail "a status without an SMC succeeded"
[[ $("$tools/app.tavrin.vigilon.guardian" 2>&1) == "Usage: guardian stop | restore | watch. Start sessions from the signed Tavrin app." ]] ||
    fail "the stripped guardian does not run"
echo "install layout: ok"
