#!/usr/bin/env bash
# Builds the Windows installer of a cross build tree with wixl and msibuild
# (Debian's wixl and msitools).
#
#   make-msi.sh BUILD_DIR OUTPUT.msi [VERSION]
#
# BUILD_DIR is a configured win64 or win32 tree: its windows/msi-settings
# (written by cmake/windows.cmake) names the architecture, the version and
# the upgrade code, and its fervadm.wxs finds the programs beside it. VERSION
# replaces the project's version (a check builds a "newer" installer so).
#
# wixl has no Environment element, so the row that appends the install
# folder to the system PATH, and the two actions that write and remove it,
# are added to the built database afterwards.
set -euo pipefail
build=$1 out=$2
# shellcheck source=/dev/null
. "$build/windows/msi-settings"
version=${3:-$FERV_MSI_VERSION}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && wixl -a "$FERV_MSI_ARCH" -D Version="$version" -D UpgradeCode="$FERV_MSI_UPGRADE_CODE" \
    -D ProgramFilesFolder="$FERV_MSI_PROGRAM_FILES" -D Win64="$FERV_MSI_WIN64" \
    -D HasFervmon="$FERV_MSI_HAS_FERVMON" -o "$work/out.msi" fervadm.wxs)

# The Environment table: "=" sets the variable on install, "-" takes the
# value out again on removal, "*" makes it the system's; "[~];" appends to
# what PATH holds.
printf 'Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\n' >"$work/Environment.idt"
printf 'SystemPath\t=-*PATH\t[~];[INSTALLDIR]\tSystemPath\n' >>"$work/Environment.idt"
(cd "$work" && msibuild out.msi -i Environment.idt \
    -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveEnvironmentStrings', 3300)" \
    -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteEnvironmentStrings', 5200)")
mv "$work/out.msi" "$out"
