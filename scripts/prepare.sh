#!/usr/bin/env bash
# Installs what is missing, builds dist/Gatewright.exe and, where the tests
# run the 64-bit build instead (see wine-env.sh), that build too.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/dist.sh"
. "$root/scripts/wine-env.sh"
if [ "$GW_TEST_ARCH" != i686 ]; then
  echo "note: the tests will run $GW_TESTED"
  bash "$root/scripts/build.sh" "$GW_TEST_ARCH"
fi
