#!/usr/bin/env bash
# One version everywhere: the programs that print one, and the manual pages,
# say the version of the build (the project's).
# Usage: versions.sh VERSION FERVSIM FERVMON PAGE...
#   FERVSIM or FERVMON may be "-" where that program is not built.
set -u
version=$1 sim=$2 mon=$3
shift 3
failed=0
fail() { echo "FAIL: $*"; failed=1; }

for program in "$sim" "$mon"; do
    [ "$program" = - ] && continue
    name=$(basename "$program")
    out=$("$program" --version 2>&1)
    status=$?
    [ $status -eq 0 ] || fail "$name --version exited with $status"
    [ "$out" = "$name $version" ] || fail "$name --version printed '$out', not '$name $version'"
    echo "$out"
done

# .TH TITLE SECTION DATE SOURCE MANUAL: the source names the version.
for page in "$@"; do
    source=$(sed -nE 's/^\.TH +[^ ]+ +[^ ]+ +"[^"]*" +"([^"]*)".*/\1/p' "$page")
    [ "$source" = "fervadm $version" ] || fail "$(basename "$page") says '$source', not 'fervadm $version'"
done
exit $failed
