#!/usr/bin/env bash
# Installs what is missing, builds dist/Gatewright.exe and, where this kernel
# cannot run 32-bit code, the 64-bit build that Wine runs instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/dist.sh"
. "$root/scripts/wine-env.sh"
if [ "$GW_TEST_ARCH" != i686 ]; then
  echo "note: this kernel cannot run 32-bit programs; Wine runs the 64-bit build of the same sources"
  bash "$root/scripts/build.sh" "$GW_TEST_ARCH"
fi
