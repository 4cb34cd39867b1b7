#!/usr/bin/env bash
# fervsim(8) agrees with fervsim: the ctl verbs it describes are the ones
# `fervsim ctl help` lists, the options the ones `fervsim --help` lists, and
# its example topology loads and shows in fervadm as written.
# Usage: sim_page.sh PAGE FERVSIM FERVADM
set -u
page=$1 sim=$2 adm=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
sorted() { sort -u | tr '\n' ' ' | sed 's/ $//'; }

if ! "$sim" ctl help >"$tmp/help" 2>&1; then
    echo "SKIP: fervsim has no verb list (fervsim ctl help failed)"
    cat "$tmp/help"
    exit 77
fi

# Verbs of the program: the lines of its list that start with two blanks
# and a lower-case word.
program_verbs=$(sed -nE 's/^  ([a-z][a-z-]*)( .*)?$/\1/p' "$tmp/help" | sorted)
# Verbs of the page: the first word of every tag between the markers.
page_verbs=$(awk '/^\.\\" ctl-verbs-end/ { on = 0 }
                  on && tag { print; tag = 0 }
                  on && /^\.T[PQ]/ { tag = 1 }
                  /^\.\\" ctl-verbs-begin/ { on = 1 }' "$page" |
             sed -E -e 's/^\.[A-Z]+ +//' -e 's/"//g' -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' |
             awk '{ print $1 }' | sorted)
[ -n "$program_verbs" ] || fail "no verbs found in the output of fervsim ctl help"
if [ "$page_verbs" != "$program_verbs" ]; then
    fail "ctl verbs differ: page has '$page_verbs', fervsim ctl help has '$program_verbs'"
else
    echo "ctl verbs agree: $page_verbs"
fi

# Options: the long options in the program's --help and the tags of the
# page's OPTIONS section.
"$sim" --help >"$tmp/usage" 2>&1 || fail "fervsim --help exited with $?"
program_options=$(grep -oE '^ +--[a-z-]+' "$tmp/usage" | tr -d ' ' | sorted)
page_options=$(awk '/^\.SH / { on = ($2 == "OPTIONS") }
                    on && tag { print; tag = 0 }
                    on && /^\.TP/ { tag = 1 }' "$page" |
               sed -E -e 's/^\.[A-Z]+ +//' -e 's/\\-/-/g' | awk '{ print $1 }' | sorted)
if [ "$page_options" != "$program_options" ]; then
    fail "options differ: page has '$page_options', fervsim --help has '$program_options'"
else
    echo "options agree: $page_options"
fi

# The example topology, as a reader would copy it from the page.
awk '/^\.\\" topology-example/ { want = 1; next }
     want && /^\.EX/ { on = 1; next }
     on && /^\.EE/ { exit }
     on { print }' "$page" | sed -e 's/\\-/-/g' >"$tmp/example.json"
[ -s "$tmp/example.json" ] || fail "no example topology found in $page"
grep -n '\\' "$tmp/example.json" && fail "roff escapes left in the example topology"
status=0
FERV_DEVICE_ROOT=$tmp/root "$sim" run --quiet --topology "$tmp/example.json" -- "$adm" -v \
    >"$tmp/shown" 2>&1 || status=$?
if [ $status -ne 0 ]; then
    cat "$tmp/shown"
    fail "the example topology does not load and show (exit $status)"
else
    # Every path named in the example shows in the report.
    for name in $(grep -oE '"name": "[^"]+", "hba"' "$tmp/example.json" | cut -d'"' -f4); do
        grep -qE "^    . $name " "$tmp/shown" || fail "path $name of the example is not shown"
    done
    echo "example topology loads: $(grep -c '^Device: ' "$tmp/shown") device(s)"
fi
exit $failed
