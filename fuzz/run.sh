#!/usr/bin/env bash
# Builds the fuzz targets with clang under the address and undefined-behaviour
# sanitizers and runs each one for a bounded time from its committed seed
# corpus (fuzz/corpus/<target>/, well-formed and malformed inputs). New
# inputs go to a scratch directory, so the committed corpus only changes by
# hand. Prints, for each target, the inputs run and libFuzzer's coverage
# figures (cov: code edges reached, ft: features). Exits non-zero when a
# target finds a crash, a leak or a time-out; the input that did it is kept
# under the scratch directory.
#
#     fuzz/run.sh [seconds per target, default 60] [target...]
#
# FERV_FUZZ_BUILD_DIR chooses the build tree (default build-fuzz).
set -euo pipefail
seconds=${1:-60}
shift || true
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FERV_FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(topology_decode_fuzz topology_query_fuzz fixed_reply_fuzz reply_frame_fuzz
         sim_request_fuzz sim_topology_fuzz sim_admin_fuzz)
[ $# -gt 0 ] && targets=("$@")

cmake --preset fuzz -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/ferv-fuzz.XXXXXX")
status=0
for target in "${targets[@]}"; do
  corpus=$root/fuzz/corpus/${target%_fuzz}
  mkdir -p "$work/$target/new" "$work/$target/artifacts"
  log=$work/$target/log
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/$target/artifacts/" "$work/$target/new" "$corpus" >"$log" 2>&1; then
    runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -n 1)
    cov=$(sed -nE 's/.*(DONE|pulse|NEW|REDUCE|INITED).* cov: ([0-9]+) ft: ([0-9]+).*/cov \2 ft \3/p' "$log" | tail -n 1)
    seeds=$(find "$corpus" -type f | wc -l)
    printf 'fuzz: %-22s %10s inputs in %ss, %s, from %s seeds: no fault\n' "$target" "${runs:-?}" "$seconds" \
      "${cov:-cov ? ft ?}" "$seeds"
  else
    status=1
    echo "fuzz: $target FAILED; its log follows, the input is under $work/$target/artifacts"
    tail -n 60 "$log"
  fi
done
if [ "$status" -eq 0 ]; then
  rm -rf "$work"
fi
exit "$status"
