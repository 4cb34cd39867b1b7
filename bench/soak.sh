#!/usr/bin/env bash
# Soak test of the emulator's limits: a fervsim serving a topology of
# 100,000 paths (a device list of about 38 MB) is given, all at once,
# 10,000 idle connections, 20 clients that never read that list and 20
# uploads of 256 MiB that stall one byte short. While they are held,
# `fervadm -P` and `fervsim ctl show` must keep answering; once they are
# gone, the emulator's memory must be back where it started. Local sockets
# only; bounded in count (the arguments) and in time (5 minutes at most).
#
#   bench/soak.sh [BUILD_DIR [IDLE [UPLOADS [NONREADERS]]]]    (default: build 10000 20 20)
#
# Prints the emulator's memory at the start, at its peak and at the end,
# what the limits did (uploads dropped, replies refused, idle connections
# closed) and how the probes fared. Exit status 0 when every probe was
# answered and the memory came back within 10% (at least 16 MiB) of the
# start.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
idle=${2:-10000}
uploads=${3:-20}
readers=${4:-20}
probes=5
sim="$build/fervsim"
adm="$build/fervadm"
[ -x "$sim" ] && [ -x "$adm" ] || { echo "soak: $sim and $adm must be built" >&2; exit 2; }

# The clients hold IDLE + UPLOADS + NONREADERS descriptors.
need=$((idle + uploads + readers + 64))
hard=$(ulimit -Hn)
if [ "$hard" != unlimited ] && [ "$hard" -lt "$need" ]; then
    echo "soak: the descriptor limit ($hard) is below the $need the clients need" >&2
    exit 2
fi
ulimit -n "$need"

work=$(mktemp -d)
client="$work/soak"
c++ -O2 -std=c++17 -Wall -Wextra -I. bench/soak.cpp -o "$client"
root="$work/r"
"$sim" --root "$root" --quiet --generate 100:100:10 --log "$work/sim.log" &
pid=$!
clientPid=
cleanup() {
    [ -n "$clientPid" ] && kill -TERM "$clientPid" 2>/dev/null || true
    kill -TERM "$pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
deadline=$((SECONDS + 300))

for _ in $(seq 200); do
    [ -S "$root/fervsim.ctl" ] && break
    sleep 0.05
done
memory() { sed -nE "s/^$1:[[:space:]]+([0-9]+) kB/\1/p" "/proc/$pid/status"; }
mib() { echo "$(( ($1 + 512) / 1024 )) MiB"; }
# The emulator keeps the device list it encodes until the model changes:
# one report first, so that the memory it starts from holds that list.
FERV_DEVICE_ROOT=$root "$adm" -v >/dev/null
sleep 1
start=$(memory VmRSS)
echo "soak: emulator $pid serving 100,000 paths, its device list encoded, resident memory $(mib "$start")"

# The clients, in the background, until told to let go.
mkfifo "$work/out"
"$client" "$root" "$idle" "$uploads" "$readers" >"$work/out" &
clientPid=$!
exec 3<"$work/out"
peak=$start
held=0
while IFS= read -r -t 240 line <&3; do
    echo "$line"
    now=$(memory VmRSS)
    [ "$now" -gt "$peak" ] && peak=$now
    if [ "$line" = "soak: holding" ]; then
        held=1
        break
    fi
    [ $SECONDS -lt $deadline ] || break
done
[ "$held" -eq 1 ] || { echo "soak: the clients did not get into place" >&2; exit 1; }

# The probes, while everything is held.
answered=0
slowest=0
times=()
probe() {
    local t0 t1 ms
    t0=$(date +%s%N)
    if FERV_DEVICE_ROOT=$root timeout 20 "$@" >/dev/null 2>&1; then
        answered=$((answered + 1))
    else
        echo "soak: no answer from: $*"
    fi
    t1=$(date +%s%N)
    ms=$(( (t1 - t0) / 1000000 ))
    times+=("$ms")
    [ "$ms" -gt "$slowest" ] && slowest=$ms
    now=$(memory VmRSS)
    [ "$now" -gt "$peak" ] && peak=$now
    return 0
}
for _ in $(seq "$probes"); do
    probe "$adm" -P
    probe "$sim" ctl --root "$root" show
done
echo "soak: $answered of $((2 * probes)) probes (fervadm -P, fervsim ctl show) answered, the slowest in $slowest ms" \
     "(each in ms: ${times[*]})"
hwm=$(memory VmHWM)
[ "$hwm" -gt "$peak" ] && peak=$hwm

kill -TERM "$clientPid"
while IFS= read -r -t 30 line <&3; do
    echo "$line"
done
wait "$clientPid" || true
clientPid=
exec 3<&-

# The emulator notices the closes, frees what they held and hands it back.
for _ in $(seq 100); do
    "$sim" ctl --root "$root" show >/dev/null 2>&1 && break
    sleep 0.1
done
sleep 2
end=$(memory VmRSS)
echo "soak: resident memory: start $(mib "$start"), peak $(mib "$peak"), end $(mib "$end")"
grep -E "buffer-limit|max-connections|idle" "$work/sim.log" | sed -E 's/^fervsim [0-9:]+: //' | sort | uniq -c |
    sed -E 's/^ *([0-9]+) /soak: emulator log (x\1): /' | head -n 5

status=0
[ "$answered" -eq $((2 * probes)) ] || { echo "soak: probes went unanswered" >&2; status=1; }
slack=$(( start / 10 > 16384 ? start / 10 : 16384 ))
[ "$end" -le $((start + slack)) ] || { echo "soak: memory did not come back" >&2; status=1; }
kill -0 "$pid" 2>/dev/null || { echo "soak: the emulator died" >&2; status=1; }
[ "$status" -eq 0 ] && echo "soak: passed"
exit "$status"
