#!/usr/bin/env bash
# Counts the end-to-end suites' cases (ctest's "Programs/..." and
# "Monitor..." tests) in a ctest log: one line "TARGET: P passed, S skipped, F failed of N", then the
# reason of every skipped case, taken from the suite itself.
#
#   .ci/e2e_counts.sh TARGET CTEST_LOG E2E_BINARIES [RUNNER...]
#
# E2E_BINARIES is a colon-separated list of the suites' programs, asked in
# turn for a skipped case's reason.
# RUNNER prefixes the binary (qemu-i386-static for a 32-bit build); the
# environment (FERV_E2E_TARGET) is passed on.
set -uo pipefail
target=$1 log=$2 binary=$3
shift 3
lines=$(grep -E 'Test +#[0-9]+: (Programs/|Monitor\.)' "$log" 2>/dev/null)
count() { grep -cE "$1" <<<"$lines"; }
passed=$(count ' Passed ')
skipped=$(count '\*\*\*Skipped|Not Run')
failed=$(count '\*\*\*Failed|\*\*\*Timeout|\*\*\*Exception')
total=$(grep -c . <<<"$lines")
printf '%s: %d passed, %d skipped, %d failed of %d\n' "$target" "$passed" "$skipped" "$failed" "$total"
grep -E '\*\*\*Skipped' <<<"$lines" | sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/' | while read -r name; do
    reason=
    IFS=: read -ra binaries <<<"$binary"
    for b in "${binaries[@]}"; do
        reason=$("$@" "$b" --gtest_filter="$name" 2>&1 | grep -A3 -E 'Skipped$' | grep -vE 'Skipped$|^\[' | head -n 1)
        [ -n "$reason" ] && break
    done
    echo "    skipped $name: ${reason:-?}"
done
# A report, not a verdict: the suites' own runs decide pass or fail.
exit 0
