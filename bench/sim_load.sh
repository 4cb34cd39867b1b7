#!/usr/bin/env bash
# Load test of the emulator: 200 concurrent clients x 50 requests, 20 of them
# killed while their wait is held. Passes when every surviving request is
# answered, the emulator still serves, and its count of open descriptors is
# back where it began.
#
#   bench/sim_load.sh [BUILD_DIR]        (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
sim="$build/fervsim"
load="$build/sim_load"
[ -x "$sim" ] || { echo "sim_load: $sim not built" >&2; exit 2; }

c++ -O2 -std=c++17 -Wall -Wextra -I. bench/sim_load.cpp -o "$load"

work=$(mktemp -d)
root="$work/r"
"$sim" --root "$root" --quiet 2>"$work/sim.log" &
pid=$!
cleanup() {
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

for _ in $(seq 100); do
  [ -S "$root/fervsim.ctl" ] && break
  sleep 0.05
done
fds() { ls "/proc/$pid/fd" | wc -l; }
before=$(fds)

status=0
"$load" "$root" 200 50 20 || status=$?

sleep 0.5 # let the emulator notice the last closes
after=$(fds)
echo "emulator descriptors: before $before, after $after"
if ! kill -0 "$pid" 2>/dev/null; then
  echo "sim_load: the emulator died" >&2
  cat "$work/sim.log" >&2
  exit 1
fi
[ "$before" -eq "$after" ] || { echo "sim_load: descriptor count changed" >&2; status=1; }
[ "$status" -eq 0 ] && echo "sim_load: passed"
exit "$status"
