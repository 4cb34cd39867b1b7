#!/usr/bin/env bash
# fervmon(8) and fervmon's bash completion agree with fervmon: the page
# renders cleanly and lists, command by command, the options that
# `fervmon COMMAND --help` lists; the completion parses, registers, offers
# the same commands and options, and reads world-wide names from the
# driver's report.
# Usage: mon_docs.sh PAGE COMPLETIONS_DIR FERVMON
set -u
page=$1 dir=$2 mon=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
sorted() { tr ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' ' | sed 's/ $//'; }

if command -v groff >/dev/null 2>&1; then
    out=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$out" ] || fail "$page renders with warnings: $out"
fi

# Long options of one help text, and of one subsection of the page's
# OPTIONS (read from the tags of its .TP entries).
help_options() { "$mon" "$@" --help | grep -oE '^ +(-[a-zA-Z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | sorted; }
page_options() {
    awk -v want="$1" '/^\.S[HS] / { on = ($0 == ".SS " want) }
                      on && tag { print; tag = 0 }
                      on && /^\.TP/ { tag = 1 }' "$page" |
        sed -e 's/\\-/-/g' | grep -oE -- '--[a-z-]+' | sorted
}
common=$(page_options "Options of every command")
[ "$common" = "$(help_options)" ] ||
    fail "common options: page has '$common', fervmon --help has '$(help_options)'"
commands=$("$mon" --help | sed -nE 's/^  ([a-z]+) .*/\1/p' | sorted)
[ "$commands" = "check metrics watch" ] || fail "fervmon --help lists the commands '$commands'"
for command in $commands; do
    want=$(help_options "$command")
    got=$(echo "$(page_options "Options of $command") $common" | sorted)
    [ "$got" = "$want" ] || fail "$command: page has '$got', fervmon $command --help has '$want'"
done

# ---- the completion
bash -n "$dir/fervmon" || fail "$dir/fervmon does not parse"
out=$(bash -c "source '$dir/fervmon'; complete -p fervmon" 2>&1) || fail "no completion registered: $out"
cat >"$tmp/complete.sh" <<'SH'
source "$COMPLETION"
words=("$@")
COMP_WORDS=("${words[@]}")
COMP_CWORD=$(( ${#words[@]} - 1 ))
_fervmon "${words[0]}" "${words[-1]}" "${words[-2]}"
printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
SH
expect() {
    local want=$1
    shift
    local got
    got=$(COMPLETION=$dir/fervmon bash "$tmp/complete.sh" "$@")
    [ "$got" = "$want" ] || fail "[$*] offers '$got', expected '$want'"
}
expect "$(echo "$commands --control --help --version" | sorted)" fervmon ''
expect "$(echo "$commands --help --version" | sorted)" fervmon --control ''
for command in $commands; do
    expect "$(help_options "$command" | tr ' ' '\n' | grep -v -- --version | sorted)" fervmon "$command" '--'
done
expect "" fervmon check --min-paths ''

# World-wide names from a stand-in driver report.
mkdir "$tmp/bin"
cat >"$tmp/report" <<'TXT'


Device: storage device
  Device Name:       ARRAY-A
  WWN:               600a0b8000110000000000000000000a 

  LUN: lun0
    WWN:            600a0b80001100000000000000000100 
TXT
printf '#!/bin/sh\ncat "%s"\n' "$tmp/report" >"$tmp/bin/fervadm"
printf '#!/bin/sh\nexit 11\n' >"$tmp/bin/fervadmctl"
chmod +x "$tmp/bin"/*
export PATH="$tmp/bin:$PATH"
expect "600a0b80001100000000000000000100" fervmon check --lun ''
expect "600a0b8000110000000000000000000a" fervmon check --device 6
expect "" fervmon --control check --lun ''

[ $failed -eq 0 ] && echo "fervmon's page and completion agree with fervmon"
exit $failed
