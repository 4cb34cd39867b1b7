#!/usr/bin/env bash
# What `fervadm -v` costs beyond the least any client of the driver must do:
# fervadm and a floor client side by side against the same emulator, at
# 10,000 and 100,000 paths. The floor (bench/floor_client.cpp) sends the
# same requests over the same socket, with buffers allocated as the library
# allocates them, and writes as many bytes as the report has, without
# decoding or formatting anything.
#
#   bench/floor_bench.sh [BUILD_DIR]      (default: build-bench, else build)
#
# Environment: RUNS (runs of each program per size, default 7, taken in turn;
# the median of each figure is reported), SIZES (DEVICES:LUNS:PATHS, default
# 5:250:8 and 50:250:8).
#
# For each size it prints the wall time, the CPU time (user + system) and the
# peak resident memory of each program and fervadm's ratio to the floor; the
# emulator's start-up time and the time of its largest request (the device
# list, as the floor measures it from its first byte sent to the last byte of
# the reply). Then it checks the targets at 100,000 paths: fervadm within
# 1.25x the floor's wall time and 2x its CPU time, peak memory at most twice
# the reply plus 16 MiB, 10k -> 100k growing at most 10.5x; and the
# emulator's: the device list served in under 50 ms, ready to serve within
# 0.2 s. Exits 1 when a target is missed, 2 when it cannot run.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-}
if [[ -z $build ]]; then
    build=$here/build-bench
    [[ -x $build/fervadm ]] || build=$here/build
fi
runs=${RUNS:-7}
sizes=${SIZES:-"5:250:8 50:250:8"}

for tool in fervadm fervsim; do
    if [[ ! -x $build/$tool ]]; then
        echo "floor_bench: $build/$tool is missing; build first (cmake --preset bench && cmake --build build-bench)" >&2
        exit 2
    fi
done
source "$here/bench/common.sh"

floor=$work/floor_client
for helper in floor_client measure; do
    c++ -O2 -std=c++17 -Wall -Wextra -I"$here" "$here/bench/$helper.cpp" -o "$work/$helper"
done

# One run of a program, its report to $work/out: prints "wall cpu peak"
# (seconds, seconds of user + system time, KiB).
measure() {
    "$work/measure" "$work/out" -- "$@"
}

# The median of the numbers on standard input.
median() {
    sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'
}

printf '%-8s %-11s %9s %9s %11s\n' paths program "wall (s)" "cpu (s)" "peak (KiB)"
declare -A adm_wall adm_cpu floor_wall floor_cpu adm_peak budget served ready
for shape in $sizes; do
    IFS=: read -r d l p <<<"$shape"
    paths=$((d * l * p))
    start_emulator "$shape"
    ready[$paths]=$startup
    # A first report: the emulator encodes its records once, and the floor
    # learns how many bytes to write.
    FERV_DEVICE_ROOT=$root "$build/fervadm" -v >"$work/report"
    bytes=$(wc -c <"$work/report")
    lines=$(wc -l <"$work/report")
    if [[ $lines -ne $(verbose_lines "$d" "$l" "$p") ]]; then
        echo "floor_bench: $shape printed $lines lines, expected $(verbose_lines "$d" "$l" "$p")" >&2
        exit 2
    fi
    : >"$work/adm" && : >"$work/floor"
    for ((i = 0; i < runs; i++)); do
        FERV_DEVICE_ROOT=$root measure "$build/fervadm" -v >>"$work/adm"
        cmp -s "$work/out" "$work/report" || { echo "floor_bench: fervadm -v printed another report" >&2; exit 2; }
        measure "$floor" "$root" "$bytes" >>"$work/floor"
        [[ $(wc -c <"$work/out") -eq $bytes ]] || { echo "floor_bench: the floor wrote another size" >&2; exit 2; }
    done
    for ((i = 0; i < runs; i++)); do
        "$floor" "$root" 0 --times 2>&1 >/dev/null | awk '/of [0-9]+ bytes/ && $4 > 4096 { print $6 }'
    done | median >"$work/served"
    served[$paths]=$(cat "$work/served")
    stop_emulator

    adm_wall[$paths]=$(cut -d' ' -f1 "$work/adm" | median)
    adm_cpu[$paths]=$(cut -d' ' -f2 "$work/adm" | median)
    adm_peak[$paths]=$(cut -d' ' -f3 "$work/adm" | median)
    floor_wall[$paths]=$(cut -d' ' -f1 "$work/floor" | median)
    floor_cpu[$paths]=$(cut -d' ' -f2 "$work/floor" | median)
    floor_peak=$(cut -d' ' -f3 "$work/floor" | median)
    reply=$(reply_bytes "$d" "$l" "$p")
    budget[$paths]=$((2 * reply / 1024 + 16 * 1024))
    printf '%-8s %-11s %9s %9s %11s\n' "$paths" "fervadm -v" "${adm_wall[$paths]}" "${adm_cpu[$paths]}" \
        "${adm_peak[$paths]}"
    printf '%-8s %-11s %9s %9s %11s\n' "" floor "${floor_wall[$paths]}" "${floor_cpu[$paths]}" "$floor_peak"
    printf '%-8s %-11s %8sx %8sx\n' "" ratio "$(ratio "${adm_wall[$paths]}" "${floor_wall[$paths]}")" \
        "$(ratio "${adm_cpu[$paths]}" "${floor_cpu[$paths]}")"
    printf '%-8s %-11s ready in %s s; the device list (%s KiB) served in %s ms; a report of %s bytes\n' "" \
        emulator "${ready[$paths]}" "$((reply / 1024))" "${served[$paths]}" "$bytes"
done

if [[ -n ${adm_wall[100000]:-} ]]; then
    check "fervadm -v within 1.25x the floor's wall time ($(ratio "${adm_wall[100000]}" "${floor_wall[100000]}")x)" \
        "${adm_wall[100000]} <= 1.25 * ${floor_wall[100000]}"
    check "fervadm -v within 2x the floor's CPU time ($(ratio "${adm_cpu[100000]}" "${floor_cpu[100000]}")x)" \
        "${adm_cpu[100000]} <= 2 * ${floor_cpu[100000]}"
    check "peak memory at most twice the reply plus 16 MiB (${adm_peak[100000]} of ${budget[100000]} KiB)" \
        "${adm_peak[100000]} <= ${budget[100000]}"
    check "the emulator serves the device list in under 50 ms (${served[100000]} ms)" "${served[100000]} < 50"
    check "the emulator is ready within 0.2 s (${ready[100000]} s)" "${ready[100000]} <= 0.2"
fi
if [[ -n ${adm_wall[10000]:-} && -n ${adm_wall[100000]:-} ]]; then
    check "10k -> 100k grows at most 10.5x ($(ratio "${adm_wall[100000]}" "${adm_wall[10000]}")x)" \
        "${adm_wall[100000]} <= 10.5 * ${adm_wall[10000]}"
fi
exit $status
