#!/usr/bin/env bash
# Speed of fervmon against emulated SANs: `fervmon check` beside
# `fervadm -v` (the same topology query, with a report of every path) at
# 100,000 paths, and `fervmon metrics --output` (one statistics request per
# path and per LUN on the one open handle) at 10,000 paths.
#
#   bench/mon_bench.sh [BUILD_DIR]      (default: build-bench, else build)
#
# Environment: RUNS (runs per program, default 5; the median is reported),
# CHECK_SHAPE and METRICS_SHAPE (DEVICES:LUNS:PATHS, defaults 100:100:10 and
# 10:100:10).
#
# Prints the median wall time of each program and checks the targets: check
# within 1.5 times fervadm -v, and metrics written whole (every path's
# counters in the file). Exits 1 when a target is missed, 2 when it cannot
# run.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-}
if [[ -z $build ]]; then
    build=$here/build-bench
    [[ -x $build/fervmon ]] || build=$here/build
fi
runs=${RUNS:-5}
check_shape=${CHECK_SHAPE:-100:100:10}
metrics_shape=${METRICS_SHAPE:-10:100:10}

for tool in fervadm fervmon fervsim; do
    if [[ ! -x $build/$tool ]]; then
        echo "mon_bench: $build/$tool is missing; build first (cmake --preset bench && cmake --build build-bench)" >&2
        exit 2
    fi
done

source "$here/bench/common.sh"

# Median wall time in seconds of `"$@"` over $runs runs (after one warm-up),
# its output going to a file. The exit status is not judged here.
median() {
    local times=() start end
    FERV_DEVICE_ROOT=$root "$@" >"$work/out" 2>&1 || true
    for ((i = 0; i < runs; i++)); do
        start=$EPOCHREALTIME
        FERV_DEVICE_ROOT=$root "$@" >"$work/out" 2>&1 || true
        end=$EPOCHREALTIME
        times+=("$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }')")
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}


IFS=: read -r d l p <<<"$check_shape"
start_emulator "$check_shape"
adm=$(median "$build/fervadm" -v)
mon=$(median "$build/fervmon" check --timeout 0)
head -c 60 "$work/out"; echo
stop_emulator
printf '%-32s %9s s\n' "fervadm -v, $((d * l * p)) paths" "$adm" "fervmon check, $((d * l * p)) paths" "$mon"
check "check within 1.5x fervadm -v ($(awk "BEGIN { printf \"%.2f\", $mon / $adm }")x)" "$mon <= 1.5 * $adm"

IFS=: read -r d l p <<<"$metrics_shape"
start_emulator "$metrics_shape"
met=$(median "$build/fervmon" metrics --output "$work/ferv.prom")
stop_emulator
printf '%-32s %9s s\n' "fervmon metrics, $((d * l * p)) paths" "$met"
series=$(grep -c '^ferv_path_host_requests_total{' "$work/ferv.prom" || true)
check "metrics holds the counters of every path ($series of $((d * l * p)))" "$series == $((d * l * p))"
exit $status
