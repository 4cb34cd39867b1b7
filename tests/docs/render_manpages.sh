#!/usr/bin/env bash
# Every manual page renders without a single groff warning.
# Usage: render_manpages.sh PAGE...
set -u
command -v groff >/dev/null 2>&1 || { echo "SKIP: groff is not installed"; exit 77; }

failed=0
for page in "$@"; do
    out=$(groff -man -ww -z "$page" 2>&1)
    rc=$?
    if [ $rc -ne 0 ] || [ -n "$out" ]; then
        echo "FAIL: $page (groff exit $rc)"
        printf '%s\n' "$out"
        failed=1
    fi
    echo "checked $page"
done
exit $failed
