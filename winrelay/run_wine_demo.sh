#!/bin/sh
# Builds the relay driver, installer and demo programs, then proves them under
# Wine in a fresh prefix: installs the relay with two root-enumerated
# instances, starts the echo service and runs the demo client against them.
# Exits 0 when every check passed.
#
#   winrelay/run_wine_demo.sh [BUILD_DIR]
#
# BUILD_DIR is a win64 cross build (cmake --preset win64), by default
# build-win64 at the top of the source tree; it is configured when it is not
# yet. KEEP_PREFIX=1 keeps the Wine prefix for inspection.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
out=${1:-$top/build-win64}
if [ ! -f "$out/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/x86_64-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
out=$(cd "$out" && pwd)
wine=/usr/lib/wine/wine64        # /usr/bin/wine picks the 32-bit loader
wineserver=/usr/lib/wine/wineserver

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }

cmake --build "$out" -j2 --target fervrelay_driver fervrelay-install echo_service demo_client >/dev/null

prefix=$(mktemp -d "${TMPDIR:-/tmp}/fervrelay-wine.XXXXXX")
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    "$wineserver" -k 2>/dev/null || true
    if [ "${KEEP_PREFIX:-0}" = 1 ]; then
        echo "prefix kept: $prefix"
    else
        rm -rf "$prefix"
    fi
}
trap cleanup EXIT

t=$(now)
# A cold prefix: services started before wineboot has finished fail with
# 1053 or 1055, hence the wait.
"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w
echo "prefix ready: $(since "$t")"

# The echo service waits for the relay and attaches to it; it also keeps the
# Wine session (and so the driver) alive.
t=$(now)
"$wine" "$out/echo_service.exe" >"$out/echo_service.log" 2>&1 &
"$wine" "$out/fervrelay-install.exe" install --devices 2 "$out/relay.sys"
i=0
until grep -q listening "$out/echo_service.log" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 300 ]; then
        echo "echo service did not attach"; cat "$out/echo_service.log"; exit 1
    fi
    sleep 0.1
done
echo "driver and service up: $(since "$t")"

t=$(now)
rc=0
# The client names the echo service's Windows path, to start it again. Its
# output goes to a file: the service it starts inherits the handle and would
# hold a pipe open.
"$wine" "$out/demo_client.exe" "$("$wine" winepath -w "$out/echo_service.exe" 2>/dev/null)" \
    >"$out/demo_client.log" 2>&1 || rc=$?
tr -d '\r' <"$out/demo_client.log"
echo "client: $(since "$t")"

t=$(now)
"$wine" "$out/fervrelay-install.exe" uninstall || rc=1
echo "uninstall: $(since "$t")"
exit $rc
