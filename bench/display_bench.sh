#!/usr/bin/env bash
# Speed and memory of the verbose all-devices report: `fervadm -v`, its
# output going to a file, against emulated SANs of 1k, 10k and 100k paths.
#
#   bench/display_bench.sh [BUILD_DIR]      (default: build)
#
# BUILD_DIR holds fervadm and fervsim from an optimised build: build/ of the
# default preset, or build-bench/ of the bench preset.
#
# Environment: RUNS (runs per size, default 3; the median run is reported),
# SIZES (a list of DEVICES:LUNS:PATHS, default the three below).
#
# For each size it prints the wall time, the CPU time (user + system) and the
# peak resident memory of the program, and the bytes of the all-devices reply
# (the wall time includes waiting for the emulator to build that reply; the
# CPU time is the program's own work). Then it checks the targets:
# 100k paths well under a second, 10k -> 100k growing at most 12x, and peak
# memory at most three times the reply plus 16 MiB. Exits 1 when a target is
# missed, 2 when it cannot run.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
runs=${RUNS:-3}
sizes=${SIZES:-"25:10:4 250:10:4 2500:10:4"}

for tool in "$build/fervadm" "$build/fervsim"; do
    if [[ ! -x $tool ]]; then
        echo "display_bench: $tool is missing; build first (cmake --build $build)" >&2
        exit 2
    fi
done
if [[ ! -x /usr/bin/time ]]; then
    echo "display_bench: /usr/bin/time is missing (Debian package: time)" >&2
    exit 2
fi

source "$here/bench/common.sh"

# One timed run: prints "wall-seconds kilobytes user-seconds system-seconds".
# The wall time is taken to the microsecond around the program; /usr/bin/time
# adds its peak memory and CPU time.
timed_run() {
    local out=$1 start end
    start=$EPOCHREALTIME
    FERV_DEVICE_ROOT="$root" /usr/bin/time -f "%M %U %S" -o "$work/time" "$build/fervadm" -v >"$out"
    end=$EPOCHREALTIME
    awk -v s="$start" -v e="$end" -v t="$(cat "$work/time")" 'BEGIN { printf "%.4f %s\n", e - s, t }'
}

printf '%-8s %-12s %9s %9s %12s %12s %14s\n' paths shape "wall (s)" "cpu (s)" "peak (KiB)" "reply (KiB)" \
    "budget (KiB)"
declare -A wall
status=0
for shape in $sizes; do
    IFS=: read -r d l p <<<"$shape"
    paths=$((d * l * p))
    start_emulator "$shape"
    timed_run "$work/out.txt" >/dev/null # warm-up
    results=()
    for ((i = 0; i < runs; i++)); do
        results+=("$(timed_run "$work/out.txt")")
    done
    stop_emulator
    # Median by wall time.
    median=$(printf '%s\n' "${results[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
    read -r seconds kib user system <<<"$median"
    cpu=$(awk "BEGIN { printf \"%.2f\", $user + $system }")
    lines=$(wc -l <"$work/out.txt")
    expected=$(verbose_lines "$d" "$l" "$p")
    if [[ $lines -ne $expected ]]; then
        echo "display_bench: $shape printed $lines lines, expected $expected" >&2
        status=1
    fi
    reply=$(($(reply_bytes "$d" "$l" "$p") / 1024))
    budget=$((3 * reply + 16 * 1024))
    printf '%-8s %-12s %9s %9s %12s %12s %14s\n' "$paths" "$shape" "$seconds" "$cpu" "$kib" "$reply" "$budget"
    wall[$paths]=$seconds
    if ((kib > budget)); then
        echo "  MISSED: peak memory above three times the reply plus 16 MiB" >&2
        status=1
    fi
done

if [[ -n ${wall[100000]:-} ]]; then
    check "100k paths in under a second (${wall[100000]} s)" "${wall[100000]} < 1.0"
fi
if [[ -n ${wall[10000]:-} && -n ${wall[100000]:-} ]]; then
    check "10k -> 100k grows at most 12x ($(awk "BEGIN { printf \"%.1f\", ${wall[100000]} / ${wall[10000]} }")x)" \
        "${wall[100000]} <= 12 * ${wall[10000]}"
fi
exit $status
