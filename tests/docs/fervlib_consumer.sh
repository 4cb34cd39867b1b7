#!/usr/bin/env bash
# FervLib as another program gets it: the installed headers, libraries, CMake
# package and pkg-config files, not the build tree. Builds the example
# consumer (examples/fervlib-paths) with find_package(FervLib) and with
# pkg-config, runs it against the emulator and without a driver, and links a
# program that brings its own console sink.
# Usage: fervlib_consumer.sh CMAKE SOURCE_DIR FERVSIM (BUILD_DIR | --prefix PREFIX)
#   BUILD_DIR: its `dev` component is installed into a scratch prefix first;
#   --prefix: an installed tree (an unpacked libfervlib-dev, say).
# The consumers are built for the library's target: FERV_CONSUMER_TOOLCHAIN
# (a CMake toolchain file) and FERV_CONSUMER_CXX (the compiler with its
# target flags, for make) name it when it is not the host's.
set -u
cmake=$1 source=$2 fervsim=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

if [ "$4" = --prefix ]; then
    prefix=$5
else
    prefix=$scratch/prefix
    if ! "$cmake" --install "$4" --prefix "$prefix" --component dev >"$scratch/install.log" 2>&1; then
        cat "$scratch/install.log"
        echo "FAIL: cmake --install --component dev failed"
        exit 1
    fi
fi

cmake_target=()
[ -n "${FERV_CONSUMER_TOOLCHAIN:-}" ] && cmake_target=(-DCMAKE_TOOLCHAIN_FILE="$FERV_CONSUMER_TOOLCHAIN")
make_target=()
[ -n "${FERV_CONSUMER_CXX:-}" ] && make_target=(CXX="$FERV_CONSUMER_CXX")

# ---- what is installed
[ -f "$prefix/include/fervlib.h" ] || fail "include/fervlib.h is not installed"
for channel in enum control select; do
    [ -n "$(find "$prefix" -name "libfervlib-$channel.a")" ] || fail "libfervlib-$channel.a is not installed"
done
config=$(find "$prefix" -name FervLibConfig.cmake | head -n 1)
[ -n "$config" ] || fail "no FervLibConfig.cmake"
pcdir=$(dirname "$(find "$prefix" -name fervlib-enum.pc | head -n 1)")
[ -f "$pcdir/fervlib-enum.pc" ] || fail "no fervlib-enum.pc"
# The programs' files belong to the other component.
[ ! -e "$prefix/bin/fervadm" ] || [ "$4" = --prefix ] || fail "the dev component installs bin/fervadm"

# Runs a consumer against a private emulator; its output lands in $scratch/out.
against_emulator() {
    FERV_DEVICE_ROOT=$scratch/devices "$fervsim" run --quiet -- "$@" >"$scratch/out" 2>&1
}
# The lines the built-in SAN gives.
check_paths_output() {
    local what=$1
    grep -qxF 'ZEL HA-4200 array-east / exchange_db / hba0-t0-lun0 (HBA HBA0-KF82002): up_active, preferred' \
        "$scratch/out" || fail "$what: no line for the active preferred path of exchange_db"
    grep -qxF 'ZEL HA-4200 array-east / exchange_db / hba1-t0-lun0 (HBA HBA1-KF82002): up_standby' \
        "$scratch/out" || fail "$what: no line for a standby path of exchange_db"
    grep -qxF '24 paths' "$scratch/out" || fail "$what: does not count 24 paths"
    [ "$(grep -c ': up_' "$scratch/out")" -eq 24 ] || fail "$what: not one line per path"
}

# ---- CMake: find_package(FervLib), FervLib::enum
if "$cmake" -S "$source/examples/fervlib-paths" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_BUILD_TYPE=Release "${cmake_target[@]}" >"$scratch/log" 2>&1 &&
    "$cmake" --build "$scratch/cmake-build" >>"$scratch/log" 2>&1; then
    paths=$scratch/cmake-build/fervlib-paths
    against_emulator "$paths" || fail "fervlib-paths (CMake) exited with $? against the emulator"
    cat "$scratch/out"
    check_paths_output "fervlib-paths (CMake)"

    # No driver: the library's own line reaches standard output through the
    # default console sink, and the program fails.
    mkdir -p "$scratch/empty"
    status=0
    FERV_DEVICE_ROOT=$scratch/empty "$paths" >"$scratch/out" 2>"$scratch/err" || status=$?
    [ $status -eq 1 ] || fail "fervlib-paths without a driver exited with $status, not 1"
    grep -q '^FervLib (WIN32) - FervGetAllInfo: ' "$scratch/out" ||
        fail "without a driver the library's line did not reach standard output: $(cat "$scratch/out")"
    grep -qF 'fervlib-paths: No supported devices were detected. (11)' "$scratch/err" ||
        fail "without a driver the example did not name status 11: $(cat "$scratch/err")"
else
    cat "$scratch/log"
    fail "the example does not build with find_package(FervLib)"
fi

# ---- pkg-config, each channel
if command -v pkg-config >/dev/null 2>&1 && command -v make >/dev/null 2>&1; then
    for channel in enum control select; do
        dir=$scratch/make-$channel
        cp -r "$source/examples/fervlib-paths" "$dir"
        rm -f "$dir/fervlib-paths"
        if PKG_CONFIG_PATH=$pcdir make -C "$dir" FERVLIB=fervlib-$channel "${make_target[@]}" >"$scratch/log" 2>&1; then
            against_emulator "$dir/fervlib-paths" || fail "fervlib-paths (fervlib-$channel) exited with $?"
            check_paths_output "fervlib-paths (pkg-config fervlib-$channel)"
        else
            cat "$scratch/log"
            fail "the example does not build with pkg-config fervlib-$channel"
        fi
    done
    [ "$(PKG_CONFIG_PATH=$pcdir pkg-config --modversion fervlib-enum)" = "$(sed -nE 's/^project\(fervadm VERSION ([0-9.]+).*/\1/p' "$source/CMakeLists.txt")" ] ||
        fail "fervlib-enum.pc does not carry the project's version"
else
    echo "pkg-config or make is not installed: the pkg-config build is not checked"
fi

# ---- a program with its own console sink takes the library's lines
cat >"$scratch/sink.cpp" <<'PROGRAM'
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <ferv_console.h>
#include <fervlib.h>

static char taken[4096];

void FervPrint(const char *format, ...)
{
    size_t at = strlen(taken);
    va_list args;
    va_start(args, format);
    vsnprintf(taken + at, sizeof taken - at, format, args);
    va_end(args);
}

void FervFlush(void)
{
}

int main()
{
    FervPublicParameters parameters;
    FERV_STATUS status = FervGetPublicParameters(&parameters);
    printf("status %u, taken: %s", (unsigned)status, taken);
    return 0;
}
PROGRAM
cat >"$scratch/CMakeLists.txt" <<'PROJECT'
cmake_minimum_required(VERSION 3.16)
project(sink LANGUAGES CXX)
find_package(FervLib REQUIRED)
add_executable(sink sink.cpp)
target_link_libraries(sink PRIVATE FervLib::control)
PROJECT
if "$cmake" -S "$scratch" -B "$scratch/sink-build" -DCMAKE_PREFIX_PATH="$prefix" "${cmake_target[@]}" >"$scratch/log" 2>&1 &&
    "$cmake" --build "$scratch/sink-build" >>"$scratch/log" 2>&1; then
    FERV_DEVICE_ROOT=$scratch/empty "$scratch/sink-build/sink" >"$scratch/out" 2>&1
    grep -q '^status 11, taken: FervLib (WIN32) - FervGetPublicParameters: ' "$scratch/out" ||
        fail "a program's own sink did not take the library's lines: $(cat "$scratch/out")"
else
    cat "$scratch/log"
    fail "a program with its own console sink does not link against FervLib::control"
fi

exit $failed
