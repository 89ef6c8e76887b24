#!/usr/bin/env bash
# Builds the program and runs every test: the fuzz corpus natively, the unit
# tests under Wine and the end-to-end tests that drive the program against the
# demo router. Arguments go to ctest (-R REGEX runs the matching tests only).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/session.sh
session_begin

session_run bash scripts/prepare.sh
# What the network sends, replayed natively under the sanitizers: every input
# the fuzz targets keep, the findings among them (tests/fuzz/README.md).
step "replaying the fuzz corpus" "see the message above and tests/fuzz/README.md" bash scripts/fuzz.sh replay
. scripts/wine-env.sh
build_e2e() { cmake -S tests/e2e -B build/e2e -G Ninja >/dev/null && cmake --build build/e2e; }
step "building the end-to-end tests" "see the messages above" build_e2e

export WINEPREFIX="$root/build/wine/host"
export GW_APP_EXE="$root/build/$GW_TEST_ARCH/Gatewright.exe"
export GW_DRIVER_EXE="$root/build/$GW_TEST_ARCH/tests/uidriver.exe"
export GW_ROUTER="$root/scripts/router.sh"
export GW_LAN_PREFIX="$root/build/wine/lan"
export GW_WORK_DIR="$root/build/e2e-work"

lab_take
session_prefix "$WINEPREFIX" "$GW_LAN_PREFIX"
display_up
step "starting Wine (prefix build/wine/host)" "see build/wine/host.log; 'make setup' installs Wine" \
  wine_prefix_up "$WINEPREFIX"
lab_up
# The program's sockets belong to the wineserver, so it runs in the LAN
# namespace, with a virtual desktop for the notification area; set up here
# once, so that each test only finds it running.
step "starting Wine in the LAN namespace (prefix build/wine/lan)" "see build/wine/lan.log" \
  wine_virtual_desktop "$GW_LAN_PREFIX" gw-lan

# One CTest run over both test trees, so there is one summary.
printf 'subdirs("%s" "e2e")\n' "$GW_TEST_ARCH" > build/CTestTestfile.cmake
cd build
status=0
session_run ctest --output-on-failure "$@" || status=$?
note "tested: $GW_TESTED"
[ "$status" = 0 ] || die "tests failed (listed above)"
