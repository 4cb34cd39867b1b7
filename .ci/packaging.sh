#!/usr/bin/env bash
# Builds the Debian packages in the default build tree (fervadm and
# libfervlib-dev), checks their control fields and contents, unpacks them
# into a scratch root and runs the unpacked programs there against the
# unpacked emulator, as a fresh install would; then builds the example
# consumer of FervLib against the unpacked library and runs it.
# Usage: .ci/packaging.sh [BUILD_DIR]        (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

fail() { echo "packaging: FAIL: $*"; exit 1; }

for tool in cpack dpkg-deb; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done

[ -f "$build/CPackConfig.cmake" ] || cmake --preset default >/dev/null
cmake --build "$build" -j2
rm -f "$build"/fervadm_*.deb "$build"/libfervlib-dev_*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log"; fail "cpack failed"; }
debs=("$build"/fervadm_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single fervadm_*.deb"
deb=${debs[0]}
echo "packaging: built $deb"
devs=("$build"/libfervlib-dev_*.deb)
[ ${#devs[@]} -eq 1 ] && [ -f "${devs[0]}" ] || fail "cpack made no single libfervlib-dev_*.deb"
dev=${devs[0]}
echo "packaging: built $dev"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# ---- control fields
dpkg-deb -I "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = fervadm ] || fail "package name is '$(field Package)'"
version=$(sed -nE 's/^project\(fervadm VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
[ "$(field Version)" = "$version" ] || fail "version is '$(field Version)', the project's is '$version'"
[ -n "$(field Maintainer)" ] || fail "no maintainer"
[ -n "$(field Description)" ] || fail "no description"
field Depends | grep -q 'libc6' || fail "Depends does not name libc6: '$(field Depends)'"

# ---- contents: everything expected is there, and no program we do not ship
dpkg-deb -c "$deb" | tee "$scratch/listing"
awk '{ print $6 }' "$scratch/listing" | sed 's|^\./|/|' | grep -v '/$' | sort >"$scratch/files"

expected=(/usr/bin/fervadm /usr/bin/fervadmctl /usr/bin/fervsim /usr/bin/fervmon
          /usr/share/man/man8/fervadm.8.gz /usr/share/man/man8/fervadmctl.8.gz
          /usr/share/man/man8/fervsim.8.gz /usr/share/man/man8/fervmon.8.gz
          /usr/share/bash-completion/completions/fervadm
          /usr/share/bash-completion/completions/fervadmctl
          /usr/share/bash-completion/completions/fervsim
          /usr/share/bash-completion/completions/fervmon)
if [ -d examples/topologies ]; then
    for example in examples/topologies/*; do
        expected+=("/usr/share/fervadm/${example##*/}")
    done
fi
for path in "${expected[@]}"; do
    grep -qxF "$path" "$scratch/files" || fail "$path is missing from the package"
done
unexpected=$(grep '^/usr/bin/' "$scratch/files" | grep -vxE '/usr/bin/(fervadm|fervadmctl|fervsim|fervmon)' || true)
[ -z "$unexpected" ] || fail "unexpected programs in the package: $unexpected"
grep -qvE '^/usr/' "$scratch/files" && fail "files outside /usr: $(grep -vE '^/usr/' "$scratch/files")"
grep -E '\.(a|h|o)$|test' "$scratch/files" && fail "build or test files in the package"

# ---- libfervlib-dev: the library's files and nothing else
dpkg-deb -I "$dev"
devfield() { dpkg-deb -f "$dev" "$1"; }
[ "$(devfield Package)" = libfervlib-dev ] || fail "library package name is '$(devfield Package)'"
[ "$(devfield Version)" = "$version" ] || fail "library package version is '$(devfield Version)'"
[ "$(devfield Section)" = libdevel ] || fail "library package section is '$(devfield Section)'"
dpkg-deb -c "$dev" | awk '{ print $6 }' | sed 's|^\./|/|' | grep -v '/$' | sort >"$scratch/devfiles"
cat "$scratch/devfiles"
for path in /usr/include/fervlib.h /usr/include/ferv_console.h /usr/include/ferv_channel_select.h; do
    grep -qxF "$path" "$scratch/devfiles" || fail "$path is missing from libfervlib-dev"
done
for pattern in '/libfervlib-enum\.a$' '/libfervlib-control\.a$' '/libfervlib-select\.a$' \
               '/cmake/FervLib/FervLibConfig\.cmake$' '/cmake/FervLib/FervLibConfigVersion\.cmake$' \
               '/pkgconfig/fervlib-enum\.pc$' '/pkgconfig/fervlib-control\.pc$' '/pkgconfig/fervlib-select\.pc$'; do
    grep -qE "$pattern" "$scratch/devfiles" || fail "libfervlib-dev has no file matching $pattern"
done
grep -E '^/usr/(bin|share/man)/' "$scratch/devfiles" && fail "programs or pages in libfervlib-dev"

# ---- a fresh install runs as documented
root=$scratch/root
dpkg -x "$deb" "$root"
dpkg -x "$dev" "$root"
for page in "$root"/usr/share/man/man8/*.8.gz; do
    out=$(gzip -dc "$page" | groff -man -ww -z 2>&1) || fail "$page does not render"
    [ -z "$out" ] || fail "$page renders with warnings: $out"
done

# The emulator gets a device root of its own, so that nothing another
# emulator on this machine serves can answer in its place.
export FERV_DEVICE_ROOT=$scratch/devices
status=0
"$root/usr/bin/fervsim" run -- "$root/usr/bin/fervadm" >"$scratch/out" 2>&1 || status=$?
cat "$scratch/out"
[ $status -eq 0 ] || fail "fervsim run -- fervadm exited with $status"
grep -q '^Device: storage device$' "$scratch/out" || fail "fervadm showed no device"
status=0
"$root/usr/bin/fervsim" run -- "$root/usr/bin/fervadmctl" -P >"$scratch/out" 2>&1 || status=$?
cat "$scratch/out"
[ $status -eq 0 ] || fail "fervsim run -- fervadmctl -P exited with $status"
grep -q '^Driver Public Parameters$' "$scratch/out" || fail "fervadmctl showed no parameters"
status=0
"$root/usr/bin/fervsim" run -- "$root/usr/bin/fervmon" check >"$scratch/out" 2>&1 || status=$?
cat "$scratch/out"
[ $status -eq 0 ] || fail "fervsim run -- fervmon check exited with $status"
grep -q '^FERV OK - ' "$scratch/out" || fail "fervmon check did not say OK"

# ---- a program on the installed FervLib
bash tests/docs/fervlib_consumer.sh cmake "$PWD" "$root/usr/bin/fervsim" --prefix "$root/usr" >"$scratch/out" 2>&1 ||
    { cat "$scratch/out"; fail "the example consumer does not build or run against libfervlib-dev"; }
echo "packaging: the example consumer builds and runs against libfervlib-dev"

echo "packaging: ok"
