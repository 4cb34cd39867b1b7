#!/usr/bin/env bash
# The usage text quoted in a manual page is, byte for byte, what the program
# prints for -?.
# Usage: usage_matches.sh PAGE PROGRAM
set -u
page=$1 program=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The block between the usage markers, with the few roff escapes it uses
# turned back into the characters they stand for.
awk '/^\.\\" usage-end/ { on = 0 }
     on && !/^\.(nf|fi)$/ { print }
     /^\.\\" usage-begin/ { on = 1 }' "$page" |
    sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\&//g' -e 's/\\e/\\/g' >"$tmp/page"

if [ ! -s "$tmp/page" ]; then
    echo "FAIL: no usage block in $page"
    exit 1
fi
if grep -n '\\' "$tmp/page"; then
    echo "FAIL: roff escapes left in the usage block of $page that this check does not translate"
    exit 1
fi

"$program" -? >"$tmp/program"
rc=$?
if [ $rc -ne 0 ]; then
    echo "FAIL: $program -? exited with $rc, not 0"
    exit 1
fi
if ! diff -u --label "$page" --label "$program -?" "$tmp/page" "$tmp/program"; then
    echo "FAIL: the usage text in $page differs from the program's"
    exit 1
fi
echo "usage text of $page agrees with $program ($(wc -l <"$tmp/page") lines)"
