#!/usr/bin/env bash
# The bash completion of fervsim: its verbs and options are the program's
# own, its control-code names are accepted by the emulator, and path and HBA
# names come from the running emulator (under --root or the default root),
# with nothing offered, and no delay, when none runs.
# Usage: sim_completion.sh COMPLETIONS_DIR FERVSIM
set -u
dir=$1 sim=$2
tmp=$(mktemp -d)
server=
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
sorted() { tr ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' ' | sed 's/ $//'; }

"$sim" ctl help >"$tmp/help" 2>&1 || { echo "SKIP: fervsim has no verb list"; exit 77; }

# The program under test stands first on PATH, as an installed one would.
mkdir "$tmp/bin"
ln -s "$(cd "$(dirname "$sim")" && pwd)/$(basename "$sim")" "$tmp/bin/fervsim"
export PATH="$tmp/bin:$PATH"
unset FERV_DEVICE_ROOT

cat >"$tmp/complete.sh" <<'SH'
source "$COMPLETION"
words=("$@")
COMP_WORDS=("${words[@]}")
COMP_CWORD=$(( ${#words[@]} - 1 ))
_fervsim fervsim "${words[-1]}" "${words[-2]}"
printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
SH
complete_words() { COMPLETION=$dir/fervsim bash "$tmp/complete.sh" "$@"; }
expect() {
    local want=$1
    shift
    local got
    got=$(complete_words "$@")
    [ "$got" = "$want" ] || fail "[$*] offers '$got', expected '$want'"
}

# ---- verbs, options and control codes agree with the program
verbs=$( (sed -nE 's/^  ([a-z][a-z-]*)( .*)?$/\1/p' "$tmp/help"; echo help) | sorted)
expect "$verbs" fervsim ctl ''
expect "$verbs" fervsim ctl --root /somewhere ''
"$sim" --help >"$tmp/usage" 2>&1
options=$( (grep -oE '^ +--[a-z-]+' "$tmp/usage" | tr -d ' '; echo run ctl) | sorted)
expect "$options" fervsim ''
# run serves a private root of its own and refuses --root.
expect "$( (echo "$options" | tr ' ' '\n' | grep -- '^--' | grep -vx -- --root; echo --) | sorted)" fervsim run ''
expect "" fervsim --interfaces ''
expect "--json" fervsim ctl show ''
expect "pause resume" fervsim ctl io ''
expect "add set" fervsim ctl counter ''

# ---- names from a running emulator
cat >"$tmp/topology.json" <<'JSON'
{ "hbas": [ { "name": "HBA-A" }, { "name": "HBA-B" } ],
  "devices": [ { "name": "array", "wwn": "600a0b800011223300000000000000a1",
    "luns": [ { "name": "lun0", "wwn": "600a0b80001122330000000000000101",
      "paths": [ { "name": "a-lun0", "hba": "HBA-A", "preferred": true },
                 { "name": "b-lun0", "hba": "HBA-B" } ] } ] } ] }
JSON
root=$tmp/root
"$sim" --root "$root" --quiet --no-io --topology "$tmp/topology.json" &
server=$!
for _ in $(seq 50); do
    "$sim" ctl --root "$root" show >/dev/null 2>&1 && break
    sleep 0.1
done
"$sim" ctl --root "$root" show >/dev/null 2>&1 || fail "the emulator did not start under $root"

expect "--hba a-lun0 b-lun0" fervsim ctl --root "$root" link-down ''
expect "b-lun0" fervsim ctl --root="$root" link-up b
expect "a-lun0 b-lun0" fervsim ctl --root "$root" link-down a-lun0 ''
expect "HBA-A HBA-B" fervsim ctl --root "$root" link-down --hba ''
expect "a-lun0 b-lun0" fervsim ctl --root "$root" counter add ''
expect "blocksTransferred hostRequests ioErrors outstandingIo" fervsim ctl --root "$root" counter add a-lun0 ''
got=$(FERV_DEVICE_ROOT=$root complete_words fervsim ctl link-down '')
[ "$got" = "--hba a-lun0 b-lun0" ] || fail "with FERV_DEVICE_ROOT, link-down offers '$got'"

# Every control-code name offered is one the emulator accepts.
codes=$(complete_words fervsim ctl --root "$root" answer '')
[ -n "$codes" ] || fail "no control codes offered"
for code in $codes; do
    "$sim" ctl --root "$root" answer "$code" 0 1 >/dev/null 2>&1 ||
        fail "the emulator does not accept the control code $code"
done
"$sim" ctl --root "$root" clear >/dev/null 2>&1

# ---- no emulator: no names, no noise, no wait
start=$SECONDS
got=$(complete_words fervsim ctl --root "$tmp/nothing-here" link-down '' 2>&1)
[ "$got" = "--hba" ] || fail "with no emulator, link-down offers '$got'"
[ $((SECONDS - start)) -le 3 ] || fail "with no emulator the completion took $((SECONDS - start)) s"

[ $failed -eq 0 ] && echo "fervsim completion behaves as documented"
exit $failed
