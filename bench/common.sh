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
#   reply_bytes 100 100 10                    # bytes of that SAN's device list
#   verbose_lines 100 100 10                  # lines of its `fervadm -v` report
#
# Sets: work (the scratch folder), root (the serving emulator's root),
# emulator (its process id, empty when none runs), startup (seconds from its
# launch to its "serving" line), status (1 once a target is missed).
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
    local err=$root.err launched=$EPOCHREALTIME
    : >"$err" # before the start: the check below must not read an older file
    "$build/fervsim" --root "$root" --no-io --generate "$1" 2>"$err" &
    emulator=$!
    for ((t = 0; t < 6000; t++)); do
        if grep -q "fervsim: serving" "$err"; then
            startup=$(awk -v s="$launched" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.3f", e - s }')
            return 0
        fi
        kill -0 "$emulator" 2>/dev/null || break
        sleep 0.01
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

# Bytes of the all-devices reply of a synthetic SAN of DEVICES LUNS PATHS,
# as the emulator lays it out by default: a device record with its name area,
# one secondary entry of 32 bytes per device, LUN and path records, and the
# 16-byte reply header.
reply_bytes() {
    local d=$1 l=$2 p=$3
    echo $((16 + d * (428 + 32) + d * l * 132 + d * l * p * 364))
}

# Lines of the verbose report of such a SAN: per device two empty lines and
# its block of seven, per LUN its block of nine and a closing empty line,
# per path its line and its state line.
verbose_lines() {
    local d=$1 l=$2 p=$3
    echo $((d * (9 + l * (10 + 2 * p))))
}
