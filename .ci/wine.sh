#!/usr/bin/env bash
# The end-to-end suite against the Windows programs under Wine: cross-builds
# the x86_64 programs, the relay driver and its installer; builds the suite
# for this machine; prepares a fresh Wine prefix with the relay installed
# (two device instances) and a session kept alive; then runs the suite's
# emulator cases with fervadm.exe, fervadmctl.exe and fervsim.exe.
# Prints ctest's summary and exits with its status.
#
#   .ci/wine.sh [WORK_DIR]     (default: build-wine at the top of the tree)
#
# KEEP_PREFIX=1 keeps the prefix for inspection.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
work=${1:-$top/build-wine}
mkdir -p "$work"
work=$(cd "$work" && pwd)

packages=(cmake g++ libgtest-dev nlohmann-json3-dev gcc-mingw-w64-x86-64 g++-mingw-w64-x86-64 wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "wine: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# /usr/bin/wine picks the 32-bit loader, which cannot run here.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }

echo "== cross build (x86_64) and the suite for this machine"
t=$(now)
win="$work/win64" host="$work/host"
cmake -S "$top" -B "$win" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/x86_64-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$win" -j2 >/dev/null
cmake -S "$top" -B "$host" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$host" -j2 --target ferv_e2e_tests >/dev/null
echo "built: $(since "$t")"

prefix=$(mktemp -d "${TMPDIR:-/tmp}/ferv-wine.XXXXXX")
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
keeper=
cleanup() {
  [ -n "$keeper" ] && kill "$keeper" 2>/dev/null || true
  # Ends this prefix's wineserver and every Windows program in it.
  timeout 30 "$wineserver" -k 2>/dev/null || true
  if [ "${KEEP_PREFIX:-0}" = 1 ]; then
    echo "prefix kept: $prefix"
  else
    rm -rf "$prefix"
  fi
}
trap cleanup EXIT

echo "== Wine prefix"
t=$(now)
# A cold prefix: services started before wineboot has finished fail with
# 1053 or 1055, hence the wait.
timeout 300 "$wine" wineboot -i >/dev/null 2>&1
timeout 120 "$wineserver" -w
# The session, and with it the loaded driver, lasts while a program runs;
# emulators come and go during the suite.
"$wine" "$win/keep_session.exe" >/dev/null 2>&1 &
keeper=$!
timeout 120 "$wine" "$win/fervrelay-install.exe" install --devices 2 "$win/relay.sys"
echo "prefix ready: $(since "$t")"

echo "== end-to-end suite under Wine"
t=$(now)
rc=0
# One emulator at a time can serve the relay: the cases run one by one.
FERV_E2E_TARGET=wine FERV_E2E_WIN_BUILD="$win" \
  timeout 1800 ctest --test-dir "$host" -R '^Programs/(Emulator|DriverServer)' -j1 --timeout 120 \
  --output-on-failure || rc=$?
echo "suite: $(since "$t")"
exit $rc
