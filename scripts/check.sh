#!/usr/bin/env bash
# Builds the program and runs every test: the unit tests under Wine and the
# end-to-end tests that drive the program against the demo router.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/prepare.sh
. scripts/wine-env.sh
cmake -S tests/e2e -B build/e2e -G Ninja >/dev/null
cmake --build build/e2e

export WINEPREFIX="$root/build/wine/host"
export GW_APP_EXE="$root/build/$GW_TEST_ARCH/Gatewright.exe"
export GW_DRIVER_EXE="$root/build/$GW_TEST_ARCH/tests/uidriver.exe"
export GW_ROUTER="$root/scripts/router.sh"
export GW_LAN_PREFIX="$root/build/wine/lan"
export GW_WORK_DIR="$root/build/e2e-work"

cleanup() {
  wine_prefix_down "$WINEPREFIX"
  wine_prefix_down "$GW_LAN_PREFIX"
  bash scripts/router.sh down >/dev/null 2>&1 || true
  display_down
}
trap cleanup EXIT
display_up
wine_prefix_up "$WINEPREFIX"

# One CTest run over both test trees, so there is one summary.
printf 'subdirs("%s" "e2e")\n' "$GW_TEST_ARCH" > build/CTestTestfile.cmake
cd build
ctest --output-on-failure "$@"
