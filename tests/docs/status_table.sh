#!/usr/bin/env bash
# The status codes listed in a manual page are exactly those of the library's
# table, with the same messages, in the same order.
# Usage: status_table.sh STATUS_DUMP PAGE...
set -u
dump=$1
shift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$dump" >"$tmp/library" || { echo "FAIL: $dump failed"; exit 1; }

failed=0
for page in "$@"; do
    # Entries are a tag line ".B code" followed by the message line.
    awk '/^\.\\" status-end/ { on = 0 }
         on && /^\.B [0-9]+$/ { code = $2; next }
         on && code != "" && !/^\./ { print code " " $0; code = "" }
         /^\.\\" status-begin/ { on = 1 }' "$page" >"$tmp/page"
    if ! diff -u --label "$page" --label "library" "$tmp/page" "$tmp/library"; then
        echo "FAIL: the status codes in $page differ from the library's"
        failed=1
    else
        echo "status codes of $page agree with the library ($(wc -l <"$tmp/page") codes)"
    fi
done
exit $failed
