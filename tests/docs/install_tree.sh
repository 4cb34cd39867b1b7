#!/usr/bin/env bash
# `cmake --install` lays out the tree a packager expects: the programs in
# bin/, a manual page for each in share/man/man8/, the bash completions, the
# example topologies; and the installed programs run from there.
# Usage: install_tree.sh CMAKE BUILD_DIR SOURCE_DIR
set -u
cmake=$1 build=$2 source=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

if ! "$cmake" --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
    cat "$prefix.log"
    rm -f "$prefix.log"
    echo "FAIL: cmake --install failed"
    exit 1
fi
rm -f "$prefix.log"

programs=(fervadm)
for program in fervadmctl fervsim fervmon; do
    [ -x "$build/$program" ] && programs+=("$program")
done

for program in "${programs[@]}"; do
    [ -x "$prefix/bin/$program" ] || fail "bin/$program is missing or not executable"
    page=$(ls "$prefix/share/man/man8/$program.8"* 2>/dev/null | head -n 1)
    if [ -z "$page" ]; then
        fail "no manual page for $program in share/man/man8"
    elif command -v groff >/dev/null 2>&1; then
        out=$( (case $page in *.gz) gzip -dc "$page" ;; *) cat "$page" ;; esac) |
               groff -man -ww -z 2>&1) || fail "installed page $page does not render"
        [ -z "$out" ] || fail "installed page $page renders with warnings: $out"
    fi
    [ -f "$prefix/share/bash-completion/completions/$program" ] ||
        fail "no bash completion for $program"
done

if [[ " ${programs[*]} " == *" fervsim "* ]] && [ -d "$source/examples/topologies" ]; then
    for example in "$source"/examples/topologies/*; do
        name=${example##*/}
        cmp -s "$example" "$prefix/share/fervadm/$name" ||
            fail "example topology $name is not installed in share/fervadm"
    done
fi

# The installed programs run: the usage text needs no driver.
out=$("$prefix/bin/fervadm" -? 2>&1) || fail "installed fervadm -? exited with $?"
grep -q '^default ' <<<"$out" || fail "installed fervadm -? printed no usage text"

echo "installed tree:"
(cd "$prefix" && find . -type f | sort)
exit $failed
