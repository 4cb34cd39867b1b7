#!/usr/bin/env bash
# The bash completions: they parse, register for every program, offer the
# options and sub-options of the documented grammar, read WWNs and path
# names from the driver's report, and stay silent (and quick) when there is
# no driver to ask.
# Usage: completion.sh COMPLETIONS_DIR FERVADM_PAGE
set -u
dir=$1 page=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

for script in "$dir"/*; do
    bash -n "$script" || fail "$script does not parse"
done

# Runs the completion function for the words given, the last one being the
# word under the cursor, and prints the candidates sorted on one line.
cat >"$tmp/complete.sh" <<'SH'
source "$COMPLETION"
words=("$@")
COMP_WORDS=("${words[@]}")
COMP_CWORD=$(( ${#words[@]} - 1 ))
COMP_LINE="${words[*]}"
COMP_POINT=${#COMP_LINE}
"${FUNCTION:-_fervadm}" "${words[0]}" "${words[-1]}" "${words[-2]}"
printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
SH
complete_words() { COMPLETION=$dir/fervadm bash "$tmp/complete.sh" "$@"; }
expect() {
    local want=$1
    shift
    local got
    got=$(complete_words "$@")
    [ "$got" = "$want" ] || fail "[$*] offers '$got', expected '$want'"
}

# ---- registration
for program in fervadm fervadmctl; do
    out=$(bash -c "source '$dir/fervadm'; complete -p $program" 2>&1) ||
        fail "no completion registered for $program: $out"
done

# ---- the grammar, as the usage text in the manual page documents it
usage=$(awk '/^\.\\" usage-end/ { on = 0 } on { print } /^\.\\" usage-begin/ { on = 1 }' "$page" |
        sed -e 's/\\-/-/g')
sorted() { tr ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' ' | sed 's/ $//'; }
first=$( (grep -oE '^-[a-zA-Z]' <<<"$usage"; echo '-?') | sorted)
expect "$first" fervadm ''
for option in -d -l -p; do
    subs=$(grep -oE "^$option <[^>]+> -[a-z]" <<<"$usage" | awk '{ print $3 }' | sorted)
    [ -n "$subs" ] || fail "no sub-options of $option found in $page"
    expect "$subs" fervadm "$option" NAME ''
done
expect "$(grep -oE '^-P -[a-z]' <<<"$usage" | awk '{ print $2 }' | sorted)" fervadm -P ''
expect "$(echo '-d -r -t' | sorted)" fervadm -Z ''
expect "0 1" fervadm -P -a ''
expect "-m" fervadm -l NAME -m
expect "-P" fervadm -P
# Nothing is read after the deciding word, so nothing is offered there.
expect "" fervadm -p NAME -a ''
expect "" fervadm -v ''
expect "" fervadm -S ''
expect "" fervadm -P -p ''

# A candidate such as -? must not be expanded against the files of the
# current directory.
mkdir "$tmp/cwd" && touch -- "$tmp/cwd/-a" "$tmp/cwd/-b"
got=$(cd "$tmp/cwd" && complete_words fervadm '-')
[ "$got" = "$first" ] || fail "in a directory with files -a and -b, '-' offers '$got'"

# ---- names from the driver's report, through stand-in programs
mkdir "$tmp/bin"
cat >"$tmp/report" <<'TXT'


Device: storage device
  Device Name:       ARRAY-A
  Serial Number:     SN-A
  WWN:               600a0b8000110000000000000000000a 
  IP Address:        192.0.2.10
  Firmware Revision: 07.84.00

  LUN: lun0
    WWN:            600a0b80001100000000000000000100 
    Pathing Mode:   Asymmetric
    Load Balancing: Disabled
    Preferred Paths: hba0-a-lun0 

    Paths to this LUN:
    * Path                  HBA                   Enabled Active
    - --------------------- --------------------- ------- ------
      hba0-a-lun0           hba0                  yes     yes    
    ! hba1-b-lun0-with-a-long-name hba1           yes     no     



Device: storage device
  Device Name:       ARRAY-B
  Serial Number:     SN-B
  WWN:               600a0b8000220000000000000000000b 
  IP Address:        192.0.2.11
  Firmware Revision: 07.84.00

TXT
printf '#!/bin/sh\ncat "%s"\n' "$tmp/report" >"$tmp/bin/fervadm"
cat >"$tmp/bin/fervadmctl" <<'SH'
#!/bin/sh
echo "FervLib (WIN32) - FervGetAllInfo: HBA SendReqToDriver Error: 0000000B"
echo "No supported devices were detected. (11)"
exit 11
SH
printf '#!/bin/sh\nexec sleep 30\n' >"$tmp/bin/hung"
chmod +x "$tmp/bin"/*
export PATH="$tmp/bin:$PATH"

expect "600a0b8000110000000000000000000a 600a0b8000220000000000000000000b" fervadm -d ''
expect "600a0b8000220000000000000000000b" fervadm -d 600a0b80002
expect "600a0b80001100000000000000000100" fervadm -l ''
expect "hba0-a-lun0 hba1-b-lun0-with-a-long-name" fervadm -p ''
expect "hba1-b-lun0-with-a-long-name" fervadm -p hba1
# A driver that is not there gives no candidates and no noise.
expect "" fervadmctl -p ''
expect "" "$tmp/bin/no-such-program" -d ''
got=$(complete_words "$tmp/bin/no-such-program" -d '' 2>&1)
[ -z "$got" ] || fail "a missing program makes the completion print '$got'"
# A driver that does not answer must not hang the shell.
cp "$dir/fervadm" "$tmp/hung-completion"
echo 'complete -F _fervadm hung' >>"$tmp/hung-completion"
start=$SECONDS
got=$(COMPLETION=$tmp/hung-completion bash "$tmp/complete.sh" hung -p '')
[ $((SECONDS - start)) -le 10 ] || fail "a hung driver held the completion for $((SECONDS - start)) s"
[ -z "$got" ] || fail "a hung driver gave candidates '$got'"

[ $failed -eq 0 ] && echo "completions behave as documented"
exit $failed
