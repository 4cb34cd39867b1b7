#!/usr/bin/env bash
# fervsim.exe, the emulator users rehearse with on Windows, serving the relay
# driver itself (no bridge): the i686 and x86_64 programs under Wine must
# print what the POSIX programs print against the POSIX emulator with the
# same topology, before and after a change made with `fervsim ctl`.
#
#   tests/wine/fervsim_exe.sh
#
# Uses tools/wine-run's prefix (FERV_WINE_HOME, default build-wine) with the
# runner stopped: only one service can serve the relay. Stops what it
# started. Exits 0 when every check passed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
state=${FERV_WINE_HOME:-$top/build-wine}
win64=${FERV_WIN64_BUILD:-$top/build-win64}
win32=${FERV_WIN32_BUILD:-$top/build-win32}
host=${FERV_HOST_BUILD:-$top/build}
topology=$top/tests/golden/e2e/san.json
export WINEPREFIX=$state/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=/usr/lib/wine/wineserver
failed=0
work=$(mktemp -d /tmp/ferv-simexe-XXXXXX)
export FERV_DEVICE_ROOT=$work/root

"$top/tools/wine-run" --stop
[ -f "$WINEPREFIX/system.reg" ] || { echo "FAIL no prefix in $WINEPREFIX: run tools/wine-run once"; exit 1; }
cleanup() {
    "$wineserver" -k 2>/dev/null
    timeout 30 "$wineserver" -w 2>/dev/null
    [ -n "${simpid:-}" ] && kill "$simpid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$wineserver" -p
/usr/lib/wine/wine64 "$win64/fervrelay-install.exe" start >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; echo "FAIL the relay does not start"; exit 1; }
/usr/lib/wine/wine64 "$win64/fervsim.exe" --no-io --topology "Z:$topology" >"$work/simexe.log" 2>&1 </dev/null &
for i in $(seq 300); do grep -q 'fervsim: serving' "$work/simexe.log" && break; sleep 0.1; done
grep -q 'fervsim: serving' "$work/simexe.log" || { cat "$work/simexe.log"; echo "FAIL fervsim.exe does not serve"; exit 1; }
"$host/fervsim" --no-io --quiet --topology "$topology" </dev/null >/dev/null 2>&1 &
simpid=$!
for i in $(seq 100); do [ -S "$FERV_DEVICE_ROOT/fervsim.ctl" ] && break; sleep 0.05; done

# Runs the same command on POSIX and on both Windows builds, and compares.
same() {
    local args=("$@") name rc want
    "$host/${args[0]}" "${args[@]:1}" >"$work/want" 2>&1
    want=$?
    for loader in "/usr/lib/wine/wine $win32" "/usr/lib/wine/wine64 $win64"; do
        set -- $loader
        "$1" "$2/${args[0]}.exe" "${args[@]:1}" 2>&1 | tr -d '\r' >"$work/got"
        rc=${PIPESTATUS[0]}
        name="${args[*]} (${2##*/})"
        if cmp -s "$work/want" "$work/got" && [ "$rc" = "$want" ]; then
            echo "PASS $name"
        else
            echo "FAIL $name: status $rc, want $want"
            diff "$work/want" "$work/got" | head -20 | sed 's/^/    /'
            failed=$((failed + 1))
        fi
    done
}

same fervadm -v
same fervadmctl -P
same fervadm -l 600a0b80001122330000000000000001 -v
"$host/fervsim" ctl link-down p-db-a >/dev/null
/usr/lib/wine/wine64 "$win64/fervsim.exe" ctl link-down p-db-a >/dev/null
same fervadm -l 600a0b80001122330000000000000001 -v
same fervadmctl -p p-db-a -a
same fervadm -x

echo "fervsim.exe: $failed failed"
[ $failed -eq 0 ]
