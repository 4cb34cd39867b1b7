#!/usr/bin/env bash
# The README's Quick start on a fresh machine: makes a minimal Debian
# bookworm root with debootstrap, clones the committed tree into it and runs
# exactly the two commands of the README's Quick start there, as root, with
# nothing installed beforehand but what debootstrap lays down. Unmounts and
# removes the root afterwards, also on failure or interruption.
#
#   .ci/fresh-machine.sh            needs root, debootstrap and the network
#                                   to Debian's package archive
#
# KEEP_ROOT=1 keeps the root (unmounted) for inspection. FERV_DEBIAN_MIRROR
# names the archive; otherwise this machine's own apt source is used, else
# debootstrap's default.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

say() { echo "fresh-machine: $*"; }
now() { date +%s; }

[ "$(id -u)" -eq 0 ] || { say "needs root (debootstrap, chroot, mount)"; exit 2; }
command -v debootstrap >/dev/null || { say "debootstrap is not installed (tools/install-deps --ci)"; exit 2; }

# The two commands: the shell lines of the Quick start's first code block,
# without comments and blank lines.
mapfile -t commands < <(awk '
    /^## Quick start/ { inside = 1; next }
    inside && /^## / { exit }
    inside && /^```sh/ { block = 1; next }
    inside && block && /^```/ { exit }
    inside && block && !/^#/ && NF { print }' README.md)
[ ${#commands[@]} -eq 2 ] || { say "the README's Quick start has ${#commands[@]} commands, not 2"; exit 1; }

mirror=${FERV_DEBIAN_MIRROR:-}
if [ -z "$mirror" ]; then
    mirror=$(sed -nE 's/^URIs:[[:space:]]*([^[:space:]]+).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
             grep -v security | head -n 1 || true)
fi
if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
    mirror=$(awk '$1 == "deb" && $3 ~ /^bookworm$/ { print $2; exit }' /etc/apt/sources.list)
fi

root=$(mktemp -d /var/tmp/ferv-fresh.XXXXXX)
# It becomes /: everyone may enter it, as on any machine (the tests serve
# sockets as another user under /tmp).
chmod 755 "$root"
mounts=()
# Mounts something under the root and remembers it for the cleanup.
mount_in() {
    local where=$root$1
    shift
    mkdir -p "$where"
    mount "$@" "$where"
    mounts+=("$where")
}

cleanup() {
    local rc=$? pid i
    set +e
    # Processes still running inside the root (a leftover emulator, say)
    # would keep the mounts busy: only this run started them.
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -KILL "$pid" 2>/dev/null
    done
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount -R "${mounts[$i]}" 2>/dev/null || umount -R -l "${mounts[$i]}" 2>/dev/null || true
    done
    if findmnt -rn -o TARGET | grep -q "^$root"; then
        say "mounts are left under $root; not removing it"
        findmnt -rn -o TARGET | grep "^$root"
        exit 1
    fi
    if [ "${KEEP_ROOT:-0}" = 1 ]; then
        say "root kept: $root"
    else
        rm -rf --one-file-system "$root"
    fi
    exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

t=$(now)
say "debootstrap bookworm (minbase) into $root ${mirror:+from $mirror}"
debootstrap --variant=minbase bookworm "$root" ${mirror:+"$mirror"} >"$root.log" 2>&1 ||
    { tail -n 30 "$root.log"; rm -f "$root.log"; say "debootstrap failed"; exit 1; }
rm -f "$root.log"
say "root made in $(($(now) - t)) s"

# What a booted machine has: name resolution, the kernel's file systems, a
# /tmp of its own. As in every build chroot, packages start no services, and
# dpkg does not wait for each file to reach the disk (the root is thrown away).
cp /etc/resolv.conf "$root/etc/resolv.conf"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/ferv-unsafe-io"
mount_in /proc -t proc proc
mount_in /sys -t sysfs sysfs
mount_in /dev --rbind /dev
mount --make-rslave "$root/dev"
mount_in /tmp -t tmpfs -o mode=1777 tmpfs

git clone -q "$top" "$root/src/fervadm"
say "cloned $(git -C "$root/src/fervadm" log -1 --format='%h %s')"

rc=0
for command in "${commands[@]}"; do
    t=$(now)
    say "\$ $command"
    chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -c "cd /src/fervadm && $command" || rc=$?
    say "exit $rc after $(($(now) - t)) s"
    [ $rc -eq 0 ] || break
done
exit $rc
