#!/usr/bin/env bash
# tools/install-deps against a pretend machine: dpkg, dpkg-query, apt-get,
# sudo and id are stand-ins on PATH that log what they are asked, so the
# script's choices show without touching the real system.
# Usage: install_deps.sh SOURCE_DIR
set -u
script=$1/tools/install-deps
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

bin=$work/bin
mkdir -p "$bin"
# The machine's state: installed packages, foreign architectures, the user.
cat >"$bin/dpkg-query" <<'STUB'
#!/bin/sh
# As dpkg-query -W -f FORMAT NAME: the format once for each architecture the
# package is installed for (a name listed twice stands for two).
format=${2#-f}
format=${format#=}
name=$(eval echo \${$#})
grep -x "$name" "$FAKE/installed" | while read -r _; do
    printf '%s' "$format" | sed 's/${db:Status-Status}/installed/; s/\\n/\n/g'
done
exit 0
STUB
cat >"$bin/dpkg" <<'STUB'
#!/bin/sh
case $1 in
--print-foreign-architectures) cat "$FAKE/foreign" ;;
--print-architecture) echo amd64 ;;
--add-architecture) echo "dpkg $*" >>"$FAKE/log"; echo "$2" >>"$FAKE/foreign" ;;
esac
STUB
cat >"$bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $* (uid $(id -u))" >>"$FAKE/log"
STUB
cat >"$bin/sudo" <<'STUB'
#!/bin/sh
echo "sudo" >>"$FAKE/log"
FAKE_UID=0 exec "$@"
STUB
cat >"$bin/id" <<'STUB'
#!/bin/sh
echo "${FAKE_UID:-0}"
STUB
chmod +x "$bin"/*
debian=$work/debian-release
echo 'ID=debian' >"$debian"

# Runs the script on a fresh pretend machine with the packages given
# installed; the log of the stand-ins is in $work/log.
run() { # INSTALLED-PACKAGES... -- ARGS...
    export FAKE=$work/machine
    rm -rf "$FAKE"
    mkdir -p "$FAKE"
    : >"$FAKE/log"
    : >"$FAKE/foreign"
    : >"$FAKE/installed"
    while [ $# -gt 0 ] && [ "$1" != -- ]; do echo "$1" >>"$FAKE/installed"; shift; done
    shift
    PATH=$bin:$PATH FERV_OS_RELEASE=${RELEASE:-$debian} bash "$script" "$@" >"$work/out" 2>&1
    status=$?
}

# The Quick start's list holds the build's and the tests' needs; --ci holds
# all of it and the Wine group; --wine only that group.
quick=$(bash "$script" --list)
ci=$(bash "$script" --list --ci)
wine=$(bash "$script" --list --wine)
for p in cmake g++ nlohmann-json3-dev libgtest-dev; do
    grep -qx "$p" <<<"$quick" || fail "the Quick start's list lacks $p"
done
for p in $quick $wine debootstrap wixl msitools dpkg-dev googletest; do
    grep -qx "$p" <<<"$ci" || fail "the CI list lacks $p"
done
grep -qx 'wine32:i386' <<<"$wine" || fail "the Wine list lacks wine32:i386"
grep -qx 'cmake' <<<"$wine" && fail "the Wine list holds the build's packages"
[ "$(sort <<<"$ci" | uniq -d)" = "" ] || fail "the CI list names a package twice: $(sort <<<"$ci" | uniq -d)"

# Everything there: nothing is installed, nothing asked of apt.
run $quick -- 
[ $status -eq 0 ] || fail "a complete machine: exit $status: $(cat "$work/out")"
[ -s "$FAKE/log" ] && fail "a complete machine still ran: $(cat "$FAKE/log")"

# Two missing, as root: installed plainly, without their recommendations.
run cmake g++ make groff-base pkgconf -- 
[ $status -eq 0 ] || fail "as root: exit $status: $(cat "$work/out")"
grep -q 'apt-get install .*--no-install-recommends nlohmann-json3-dev libgtest-dev (uid 0)' "$FAKE/log" ||
    fail "as root: not installed as expected: $(cat "$FAKE/log")"
grep -q '^sudo' "$FAKE/log" && fail "as root: sudo was used"
grep -q 'apt-get update' "$FAKE/log" || fail "as root: the package lists were not updated first"

# A package installed for two architectures is installed.
run $quick libgtest-dev -- 
[ -s "$FAKE/log" ] && fail "a package of two architectures taken for missing: $(cat "$FAKE/log")"

# Not root: through sudo; without sudo, the packages named and exit 1.
FAKE_UID=1000 run cmake -- 
grep -q '^sudo' "$FAKE/log" && grep -q 'apt-get install .* g++ .*(uid 0)' "$FAKE/log" ||
    fail "not root: apt-get did not run through sudo: $(cat "$FAKE/log")"
rm "$bin/sudo"
FAKE_UID=1000 run cmake -- 
[ $status -eq 1 ] || fail "no sudo: exit $status, not 1"
grep -q 'missing packages: .*nlohmann-json3-dev' "$work/out" || fail "no sudo: the missing packages are not named: $(cat "$work/out")"
[ -s "$FAKE/log" ] && fail "no sudo: still ran $(cat "$FAKE/log")"

# The Wine group: the i386 architecture first, Wine with its
# recommendations (it needs some of them).
run -- --wine
[ $status -eq 0 ] || fail "--wine: exit $status: $(cat "$work/out")"
head -n 1 "$FAKE/log" | grep -qx 'dpkg --add-architecture i386' ||
    fail "--wine: the i386 architecture is not added first: $(cat "$FAKE/log")"
grep -q 'apt-get install -y -qq .*wine32:i386' "$FAKE/log" || fail "--wine: wine32:i386 not installed: $(cat "$FAKE/log")"
grep 'wine32:i386' "$FAKE/log" | grep -q 'no-install-recommends' && fail "--wine: Wine installed without its recommendations"
# An architecture dpkg knows already is not added again.
export FAKE=$work/machine
run -- --wine
echo i386 >"$FAKE/foreign"
PATH=$bin:$PATH FERV_OS_RELEASE=$debian bash "$script" --wine >/dev/null 2>&1
[ "$(grep -c 'add-architecture' "$FAKE/log")" = 1 ] || fail "--wine: i386 added again: $(cat "$FAKE/log")"

# Another system: the packages named with what they are for; it goes on
# only because this machine has the build's needs (the tests were built).
other=$work/other-release
echo 'ID=fedora' >"$other"
RELEASE=$other run -- 
[ $status -eq 0 ] && grep -q 'GoogleTest are found: going on' "$work/out" ||
    fail "another system with the build's needs: exit $status: $(cat "$work/out")"
grep -q 'not Debian or Ubuntu' "$work/out" && grep -q 'GoogleTest.*(Debian: libgtest-dev)' "$work/out" ||
    fail "another system: no list of what to install: $(cat "$work/out")"
[ -s "$FAKE/log" ] && fail "another system: ran $(cat "$FAKE/log")"

[ $failed -eq 0 ] && echo "install-deps: all cases passed"
exit $failed
