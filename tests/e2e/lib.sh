# Shared helpers of the end-to-end scripts.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# expect_eq ACTUAL EXPECTED WHAT
expect_eq() {
    [[ "$1" == "$2" ]] || fail "$3: expected [$2], got [$1]"
}

# run_capture CMD...: runs CMD, leaving its output in $out, $err and its status in $status.
run_capture() {
    local o e
    o=$(mktemp) e=$(mktemp)
    set +e
    "$@" >"$o" 2>"$e"
    status=$?
    set -e
    out=$(cat "$o") err=$(cat "$e")
    rm -f "$o" "$e"
}

as_user() {
    local user=$1
    shift
    setpriv --reuid="$user" --regid="$user" --clear-groups "$@"
}
