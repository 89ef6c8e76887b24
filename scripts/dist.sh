#!/usr/bin/env bash
# Builds the shipped 32-bit program into dist/Gatewright.exe, and its setup
# into dist/Gatewright-Setup.exe.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh" i686
mkdir -p "$root/dist"
cp "$root/build/i686/Gatewright.exe" "$root/dist/Gatewright.exe"
[ -f "$root/build/i686/Gatewright-Setup.exe" ] || {
  echo "dist.sh: no setup was built: is makensis installed (scripts/setup.sh)?" >&2
  exit 1
}
cp "$root/build/i686/Gatewright-Setup.exe" "$root/dist/Gatewright-Setup.exe"
echo "built dist/Gatewright.exe and dist/Gatewright-Setup.exe"
