#!/usr/bin/env bash
# What a Windows program under Wine sees when the bridge behind the relay
# fails (tools/wine-run): a bridge that dies or stalls must end the program
# with the channel's error line and status 10, never hang it; the next run
# works again; and --stop leaves nothing running.
#
#   tests/wine/bridge_faults.sh [--arch x86|x64]      (default x64)
#
# Needs the builds tools/wine-run needs. Exits 0 when every check passed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
arch=x64
[ "${1:-}" = --arch ] && arch=$2
run=$top/tools/wine-run
sim=${FERV_HOST_BUILD:-$top/build}/fervsim
bridge=${FERV_HOST_BUILD:-$top/build}/fervbridge
state=${FERV_WINE_HOME:-$top/build-wine}
failed=0
work=$(mktemp -d /tmp/ferv-faults-XXXXXX)
export FERV_DEVICE_ROOT=$work/root
simpid=

cleanup() {
    [ -n "$simpid" ] && kill "$simpid" 2>/dev/null
    local pid
    for pid in $(bridge_pids); do kill -CONT "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

check() { # NAME EXPECTED-FILE ACTUAL-FILE EXPECTED-STATUS ACTUAL-STATUS
    if cmp -s "$2" "$3" && [ "$4" = "$5" ]; then
        echo "PASS $1"
    else
        echo "FAIL $1 (status $5, want $4)"
        diff "$2" "$3" | sed 's/^/    /'
        failed=$((failed + 1))
    fi
}

bridge_pids() { pgrep -f "^$bridge serve --state $state" ; }

# Waits for the emulator to hold one request.
held() {
    local i
    for i in $(seq 200); do
        "$sim" ctl show 2>/dev/null | grep -q '^held requests: 1' && return 0
        sleep 0.05
    done
    return 1
}

"$sim" --no-io --quiet --log "$work/sim.log" </dev/null >/dev/null 2>&1 &
simpid=$!
"$run" --arch "$arch" fervadm -P >/dev/null || { echo "FAIL the runner does not work"; exit 1; }

# Waits up to SECONDS for the program started in the background as PID and
# returns its status; one still running then is killed (status 124), so that
# a fault that comes back fails the check instead of hanging the script.
finish() { # PID SECONDS
    timeout "$2" tail --pid="$1" -f /dev/null
    if kill -0 "$1" 2>/dev/null; then
        echo "    (still running after $2 s: killed)"
        kill -KILL "$1" 2>/dev/null
        wait "$1" 2>/dev/null
        return 124
    fi
    wait "$1"
}

waitfail() {
    printf '%s\n' "FervLib (WIN32) - SendReqToDriver: Error in GetOverlappedResult: 000003E3" \
        "FervLib (WIN32) - FervWaitForChange: SendReqToDriver Error: 0000000A" \
        "An internal error was encountered during the operation. (10)" >"$work/want"
}

# 1. The bridge dies while a wait is held: the wait ends as cancelled.
waitfail
"$run" --arch "$arch" fervadm -S >"$work/got" 2>&1 &
waiter=$!
held || echo "(the wait did not reach the emulator)"
kill -KILL $(bridge_pids)
finish $waiter 30
check "a bridge that dies ends a held wait" "$work/want" "$work/got" 10 $?
"$run" --arch "$arch" fervadm -P >"$work/got" 2>&1
rc=$?
FERV_DEVICE_ROOT=$FERV_DEVICE_ROOT "$top/build/fervadm" -P >"$work/want" 2>&1
check "the next run starts a new bridge" "$work/want" "$work/got" 0 $rc

# 2. The bridge stalls while a wait is held: the relay drops it after its
#    silence limit, the wait ends the same way, and the bridge recovers once
#    it goes on.
waitfail
"$run" --arch "$arch" fervadm -S >"$work/got" 2>&1 &
waiter=$!
held || echo "(the wait did not reach the emulator)"
kill -STOP $(bridge_pids)
start=$(date +%s)
finish $waiter 60
rc=$?
echo "    (ended after $(($(date +%s) - start)) s)"
kill -CONT $(bridge_pids)
check "a bridge that stalls ends a held wait" "$work/want" "$work/got" 10 $rc

# 3. The bridge stalls before a request's first answer: the request fails as
#    on a broken connection. The command the bridge runs once it has shown
#    the root stops the bridge, then becomes the program.
"$run" --arch "$arch" fervadmctl -P >/dev/null 2>&1
printf '%s\n' "FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 0000001F" \
    "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 0000000A" \
    "An internal error was encountered during the operation. (10)" >"$work/want"
if [ "$arch" = x64 ]; then loader=/usr/lib/wine/wine64 exe=${FERV_WIN64_BUILD:-$top/build-win64}/fervadmctl.exe
else loader=/usr/lib/wine/wine exe=${FERV_WIN32_BUILD:-$top/build-win32}/fervadmctl.exe; fi
WINEPREFIX=$state/prefix WINEDEBUG=-all timeout 60 "$bridge" run --state "$state" -- \
    sh -c 'kill -STOP "$1"; shift; exec "$@"' sh "$(bridge_pids)" "$loader" "$exe" -P >"$work/got" 2>&1
rc=$?
kill -CONT $(bridge_pids)
check "a bridge that stalls fails a request waiting for its answer" "$work/want" "$work/got" 10 $rc
"$run" --arch "$arch" fervadmctl -P >"$work/got" 2>&1
rc=$?
"$top/build/fervadmctl" -P >"$work/want" 2>&1
check "the bridge serves again once it goes on" "$work/want" "$work/got" 0 $rc

# 4. --stop leaves nothing of the runner running.
"$run" --stop
left=
for p in /proc/[0-9]*; do
    if tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$state/prefix" ||
        tr '\0' ' ' 2>/dev/null <"$p/cmdline" | grep -qF -- "--state $state"; then
        left="$left ${p#/proc/}"
    fi
done
if [ -z "$left" ]; then echo "PASS --stop leaves nothing running"; else
    echo "FAIL --stop left processes:$left"; ps -o pid,args -p ${left// /,} ; failed=$((failed + 1)); fi

echo "bridge faults: $failed failed"
[ $failed -eq 0 ]
