#!/usr/bin/env bash
# build.sh ARCH: configures and builds the Windows program and its tests for
# i686 (the shipped 32-bit program) or x86_64, in build/ARCH.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-i686}
. "$root/scripts/session.sh"
. "$root/scripts/wine-env.sh"
dir="$root/build/$arch"
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" -DWINE="$WINE" >/dev/null ||
    die "configuring build/$arch failed (CMake's messages above); run 'make clean', then again"
fi
cmake --build "$dir" || die "building build/$arch failed (the compiler's messages above)"
