#!/usr/bin/env bash
# Builds the shipped 32-bit program into dist/Gatewright.exe.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh" i686
mkdir -p "$root/dist"
cp "$root/build/i686/Gatewright.exe" "$root/dist/Gatewright.exe"
echo "built dist/Gatewright.exe"
