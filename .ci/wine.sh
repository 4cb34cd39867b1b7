#!/usr/bin/env bash
# The Windows programs under Wine: the end-to-end suite against the i686 and
# the x86_64 builds through tools/wine-run (the same servers as on POSIX,
# reached through the relay driver and the bridge), what a failing bridge
# does to a program, fervsim.exe serving the relay on its own, and the
# relay's demo. Expects the default, win64 and win32 builds and a machine
# prepared by tools/wine-setup. Ends everything it started.
#
#   .ci/wine.sh          writes each suite's ctest log to build-wine/e2e-<arch>.log
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD
state=${FERV_WINE_HOME:-$top/build-wine}
mkdir -p "$state"
failed=0
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.0f s", b - a }'; }
step() { # NAME COMMAND...
    local t
    t=$(now)
    echo "== wine: $1"
    shift
    if "$@"; then echo "-- $(since "$t")"; else echo "-- FAILED after $(since "$t")"; failed=$((failed + 1)); fi
}
trap 'tools/wine-run --stop' EXIT

suite() { # ARCH
    # One device root at a time goes through the relay: one case at a time.
    FERV_E2E_TARGET=wine-$1 ctest --test-dir build -R '^(Programs/|Monitor\.)' -j1 --timeout 180 --output-on-failure \
        >"$state/e2e-$1.log" 2>&1
    local rc=$?
    grep -E 'tests passed|\*\*\*Failed|\(Failed\)|Skipped\)' "$state/e2e-$1.log"
    [ $rc -eq 0 ] || grep -B2 -A40 '\*\*\*Failed' "$state/e2e-$1.log" | head -200
    return $rc
}

warm() { tools/wine-run --arch x86 fervadm -? >/dev/null; }
step "the runner's first start (prefix, relay, bridge)" warm
step "end-to-end suite, Windows i686" suite x86
step "end-to-end suite, Windows x86_64" suite x64
step "a bridge that dies or stalls" tests/wine/bridge_faults.sh --arch x86
step "fervsim.exe serving the relay itself" tests/wine/fervsim_exe.sh
exit $((failed > 0))
