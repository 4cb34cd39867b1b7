#!/usr/bin/env bash
# The Windows packages: builds the ZIP and the MSI of each cross build,
# checks what they hold, then installs each MSI under Wine in a fresh prefix
# of its own: the files under Program Files, the folder on the system PATH,
# the installed fervadm.exe -? run from PATH, an upgrade by a newer MSI, a
# refused downgrade, the uninstall, and nothing left behind. The MSI logs
# are printed.
#
#   .ci/windows-packages.sh [win64] [win32]     (default: both)
#
# Running the installed i686 fervadm.exe needs 32-bit Windows programs to
# run (tools/wine-setup --check): when they do not yet, the script sets them
# up with tools/wine-setup and undoes exactly that when it ends (as root; a
# set-up that fails fails the check). KEEP_PREFIX=1 keeps the Wine prefix
# for inspection.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(win64 win32)

version=$(sed -nE 's/^project\(fervadm VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
failed=0
fail() { echo "windows-packages: FAIL: $*"; failed=1; }
say() { echo "windows-packages: $*"; }

# The machine type of a PE file: 8664 for x86_64, 014c for i386.
pe_machine() {
    local offset
    offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' '
}

# ---- build and check the packages ----------------------------------------------
for preset in "${presets[@]}"; do
    build=$top/build-$preset
    case $preset in
    win64) machine=8664 ;;
    win32) machine=014c ;;
    *) echo "unknown preset $preset"; exit 2 ;;
    esac
    package=fervadm-$version-$preset
    say "building $package.zip and $package.msi"
    cmake --preset "$preset" -DFERV_WERROR=ON >/dev/null
    cmake --build "$build" -j2 >/dev/null
    rm -f "$build/$package.zip" "$build/$package.msi"
    (cd "$build" && cpack -G ZIP >cpack.log 2>&1) || { cat "$build/cpack.log"; fail "cpack -G ZIP failed"; continue; }
    cmake --build "$build" --target msi >/dev/null || { fail "the MSI of $preset does not build"; continue; }

    # The ZIP: programs, pages as text, the README, the rehearsal kit.
    unpacked=$build/zip-check
    rm -rf "$unpacked"
    mkdir -p "$unpacked"
    (cd "$unpacked" && unzip -q "$build/$package.zip")
    root=$unpacked/$package
    for file in fervadm.exe fervadmctl.exe fervmon.exe README.txt \
                doc/fervadm.txt doc/fervadmctl.txt doc/fervmon.txt doc/fervsim.txt \
                rehearsal/fervsim.exe rehearsal/fervrelay-install.exe rehearsal/relay.sys \
                rehearsal/topologies/small.json; do
        [ -s "$root/$file" ] || fail "$package.zip has no $file"
    done
    for file in "$root"/*.exe "$root"/rehearsal/*.exe "$root"/rehearsal/relay.sys; do
        [ -f "$file" ] || continue
        [ "$(pe_machine "$file")" = "$machine" ] || fail "${file#"$root"/} in $package.zip is not built for $preset"
    done
    grep -q "fervadm $version for Windows ($preset)" "$root/README.txt" || fail "README.txt does not name version $version"
    grep -q $'\r$' "$root/README.txt" || fail "README.txt does not end its lines with CR LF"
    grep -q 'fervrelay-install install --devices 2' "$root/README.txt" || fail "README.txt has no rehearsal steps"
    if LC_ALL=C grep -qP '[\x08\x1b]' "$root"/doc/*.txt; then fail "the pages in doc/ hold escape or backspace characters"; fi
    grep -q '^NAME' "$root/doc/fervadm.txt" || fail "doc/fervadm.txt is no rendered page"
    unzip -l "$build/$package.zip" | tail -n +4 | head -n -2

    # The MSI: version, upgrade code, files, the PATH row.
    msi=$build/$package.msi
    # shellcheck source=/dev/null
    . "$build/windows/msi-settings"
    table() { msiinfo export "$msi" "$1" | tr -d '\r' >"$build/msi-table"; }
    table Property
    grep -qx "ProductVersion"$'\t'"$version" "$build/msi-table" || fail "$package.msi does not carry version $version"
    grep -qix "UpgradeCode"$'\t'"{$FERV_MSI_UPGRADE_CODE}" "$build/msi-table" || fail "$package.msi has another upgrade code"
    table File
    for file in fervadm.exe fervadmctl.exe fervmon.exe README.txt fervadm.txt; do
        grep -q "^$file"$'\t' "$build/msi-table" || fail "$package.msi does not install $file"
    done
    table Environment
    grep -q '=-\*PATH' "$build/msi-table" || fail "$package.msi does not add to the system PATH"
    rm -f "$build/msi-table"
done

# ---- install, run, upgrade, uninstall under Wine ---------------------------------
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
if [ ! -x "$wine64" ]; then
    fail "wine64 is not installed: the MSI is not tried"
    exit 1
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
prefix=
# Ends the prefix's wineserver (and only that one) and removes the prefix.
drop_prefix() {
    [ -n "$prefix" ] || return 0
    timeout 30 "$wineserver" -k 2>/dev/null || true
    if [ "${KEEP_PREFIX:-0}" = 1 ]; then say "prefix kept: $prefix"; else rm -rf "$prefix"; fi
    prefix=
}
# Each package gets a fresh prefix, as a machine that never had the other:
# Wine's msiexec leaves an empty entry in the PATH when it takes one out,
# and Wine's cmd stops its search of the PATH at an empty entry.
new_prefix() {
    prefix=$(mktemp -d "$top/build-wine-msi.XXXXXX")
    export WINEPREFIX=$prefix
    timeout 300 "$wine64" wineboot -i >/dev/null 2>&1
    timeout 120 "$wineserver" -w
}
# What this script's own set-up of 32-bit programs changed on the machine;
# --undo takes back only that, never a registration another user made.
setup_state=
cleanup() {
    drop_prefix
    if [ -n "$setup_state" ]; then
        FERV_WINE_SETUP_STATE=$setup_state tools/wine-setup --undo || true
    fi
}
trap cleanup EXIT

if [[ " ${presets[*]} " == *" win32 "* ]] && ! tools/wine-setup --check >/dev/null 2>&1; then
    setup_state=$(mktemp -u /tmp/ferv-wine-setup-packages.XXXXXX)
    say "32-bit Windows programs do not run yet: setting them up for the i686 MSI"
    FERV_WINE_SETUP_STATE=$setup_state tools/wine-setup || fail "tools/wine-setup failed: the installed i686 fervadm.exe cannot run"
fi

wine() { timeout 300 "$wine64" "$@"; }
# The system PATH without empty entries (Wine's installer leaves the
# separator of an entry it takes out).
system_path() {
    wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH 2>/dev/null |
        tr -d '\r' | sed -nE 's/.*REG_EXPAND_SZ[[:space:]]+//p' | tr ';' '\n' | grep -v '^$' | paste -sd ';'
}
# Runs msiexec and shows its log (Wine writes it in the ANSI code page).
msiexec() {
    local log=$1 status=0
    shift
    wine msiexec "$@" /qn /l*v "C:\\$log" || status=$?
    timeout 120 "$wineserver" -w
    echo "---- msiexec $* (exit $status), log $log"
    # The actions run, the files, registry values and PATH written, and the
    # outcome; not the property dump.
    tr -d '\r' <"$prefix/drive_c/$log" |
        grep -E '^(Action start [^ ]+ (RemoveExistingProducts|RemoveFiles|InstallFiles|RemoveEnvironmentStrings|WriteEnvironmentStrings)\.|Action ended .*: INSTALL\. Return value|File:|Key:|Name: PATH)' || true
    echo "----"
    return $status
}

for preset in "${presets[@]}"; do
    build=$top/build-$preset
    package=fervadm-$version-$preset
    drop_prefix
    new_prefix
    if [ "$preset" = win32 ]; then
        # The 64-bit msiexec installs the i686 package; the installed
        # program then runs as a 32-bit process of the same prefix.
        folder=$prefix/drive_c/Program\ Files\ \(x86\)/fervadm
        windows_folder='C:\Program Files (x86)\fervadm\'
    else
        folder=$prefix/drive_c/Program\ Files/fervadm
        windows_folder='C:\Program Files\fervadm\'
    fi
    cp "$build/$package.msi" "$prefix/drive_c/"
    before=$(system_path)

    say "installing $package.msi"
    msiexec "install-$preset.log" /i "C:\\$package.msi" || fail "msiexec /i $package.msi failed"
    for file in fervadm.exe fervadmctl.exe fervmon.exe README.txt doc/fervadm.txt; do
        [ -f "$folder/$file" ] || fail "$file is not installed in $windows_folder"
    done
    [[ ";$(system_path);" == *";$windows_folder;"* ]] || fail "the system PATH does not hold $windows_folder: $(system_path)"

    # A new process takes the system PATH from the registry; the prefix is
    # fresh, so the only fervadm.exe on it is the installed one.
    status=0
    wine cmd /c "fervadm.exe -?" >"$prefix/usage" 2>&1 || status=$?
    tr -d '\r' <"$prefix/usage" >"$prefix/usage.lf"
    if [ $status -ne 0 ]; then
        fail "fervadm.exe -? from PATH exited with $status: $(head -n 3 "$prefix/usage.lf")"
    elif ! grep -q '^default ' "$prefix/usage.lf"; then
        fail "fervadm.exe -? from PATH printed no usage text: $(head -n 3 "$prefix/usage.lf")"
    else
        say "fervadm.exe -? from PATH: exit 0, $(wc -l <"$prefix/usage.lf") lines of usage"
    fi

    # A newer installer replaces this one; this one then refuses to go
    # over the newer.
    newer=${version%.*}.$((${version##*.} + 1))
    bash cmake/windows/make-msi.sh "$build" "$prefix/drive_c/newer.msi" "$newer"
    msiexec "upgrade-$preset.log" /i 'C:\newer.msi' || fail "the newer MSI ($newer) did not install over $version"
    status=0
    msiexec "downgrade-$preset.log" /i "C:\\$package.msi" >/dev/null || status=$?
    [ $status -ne 0 ] || fail "$package.msi installed over the newer version"

    # Uninstalling the newer product leaves nothing: had the upgrade kept the
    # older product, its files would still be here.
    msiexec "uninstall-$preset.log" /x 'C:\newer.msi' || fail "msiexec /x failed"
    [ ! -e "$folder" ] || fail "$windows_folder is left after the uninstall: $(ls -R "$folder")"
    [ "$(system_path)" = "$before" ] || fail "the system PATH is not as before: '$(system_path)', was '$before'"
    # A 32-bit package writes its key in the registry's 32-bit view.
    for key in 'HKLM\Software\fervadm' 'HKLM\Software\WOW6432Node\fervadm'; do
        wine reg query "$key" >/dev/null 2>&1 && fail "$key is left after the uninstall"
    done
    say "$package.msi: installed, ran, upgraded, uninstalled"
done

[ $failed -eq 0 ] && say "ok"
exit $failed
