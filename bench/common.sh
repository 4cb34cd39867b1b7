# What the benchmark scripts share: a scratch folder removed at exit, one
# emulator at a time serving a synthetic SAN under a root of its own, and
# the verdict on a target.
#
#   source "$(dirname "$0")/common.sh"        # needs $build (fervsim's folder)
#   start_emulator 100:100:10                 # sets $root; waits until it serves
#   FERV_DEVICE_ROOT=$root "$build/fervadm" -v
#   stop_emulator
#
#   check "100k paths in under a second" "$wall < 1.0"
#
# Sets: work (the scratch folder), root (the serving emulator's root),
# emulator (its process id, empty when none runs), status (1 once a target
# is missed).
work=$(mktemp -d "${TMPDIR:-/tmp}/ferv-bench-XXXXXX")
emulator=
root=
_bench_cleanup() {
    if [[ -n $emulator ]]; then
        kill "$emulator" 2>/dev/null || true
        wait "$emulator" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap _bench_cleanup EXIT

# Serves the shape DEVICES:LUNS:PATHS, without simulated I/O, until
# stop_emulator. Exits the script with 2 when the emulator does not start.
start_emulator() {
    root=$work/root-${1//:/-}
    local err=$root.err
    : >"$err" # before the start: the check below must not read an older file
    "$build/fervsim" --root "$root" --no-io --generate "$1" 2>"$err" &
    emulator=$!
    for ((t = 0; t < 600; t++)); do
        grep -q "fervsim: serving" "$err" && return 0
        kill -0 "$emulator" 2>/dev/null || break
        sleep 0.1
    done
    echo "${0##*/}: the emulator did not start: $(cat "$err")" >&2
    exit 2
}

stop_emulator() {
    kill "$emulator" 2>/dev/null || true
    wait "$emulator" 2>/dev/null || true
    emulator=
}

status=0
# Prints whether a target ($1, in words) is met: the awk condition $2.
check() {
    if awk "BEGIN { exit !($2) }" </dev/null; then
        echo "ok      $1"
    else
        echo "MISSED  $1"
        status=1
    fi
}
