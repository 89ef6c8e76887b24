#!/usr/bin/env bash
# check-exe.sh EXE: the shipped program is a 32-bit GUI executable that needs
# no DLL beyond Windows' own and carries its resources and manifest.
set -euo pipefail
# The tools' messages are matched below: keep them untranslated.
export LC_ALL=C
exe=${1:-dist/Gatewright.exe}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$(i686-w64-mingw32-objdump -p "$exe")
grep -q 'file format pei-i386' <<<"$headers" || fail "not an i386 PE file"
grep -q 'Magic.*(PE32)' <<<"$headers" || fail "not PE32"
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || fail "not a GUI program"

# DLLs imported at start are looked for beside the executable first: only
# KnownDLLs, and COMCTL32, which the manifest takes from the side-by-side store.
# The program's other Windows DLLs are loaded on first use (cmake/DelayLoad.cmake),
# after WinMain has limited the search to System32.
start_dlls='^(ADVAPI32|COMCTL32|GDI32|KERNEL32|MSVCRT|OLE32|OLEAUT32|SHELL32|USER32|WS2_32)\.DLL$'
while read -r dll; do
  grep -qiE "$start_dlls" <<<"$dll" || fail "imports $dll at start"
done < <(sed -n 's/.*DLL Name: //p' <<<"$headers")
grep -qx 'SetDefaultDllDirectories' < <(strings "$exe") || fail "does not limit the DLL search to System32"
# The benchmark's run timers (gateway/RunTiming.h) go into its own build only.
! grep -q 'QueryPerformanceCounter' <<<"$headers" || fail "imports QueryPerformanceCounter: the benchmark's run timers are built in"

resources=$(i686-w64-mingw32-windres -i "$exe" -O rc)
for expected in '^100 DIALOGEX 0, 0, 337, 92' '^102 DIALOGEX 0, 0, 450, 250' '^130 DIALOGEX 0, 0, 208, 214' \
  '^129 MENU' '^132 MENU' '^128 14 ' '^131 14 ' '^1 24 ' '^  101, '; do
  grep -qE "$expected" <<<"$resources" || fail "no resource matching '$expected'"
done
icons=$(grep -cE '^[0-9]+ 3 ' <<<"$resources")
[ "$icons" = 30 ] || fail "$icons icon images, expected 2 groups of 48, 32 and 16 px and 4 row states of 16 px, each at 4, 8 and 24 bpp"

manifest=$(strings -el "$exe"; strings "$exe")
grep -q 'level="requireAdministrator" uiAccess="false"' <<<"$manifest" || fail "manifest does not ask for administrator rights"
grep -q 'Microsoft.Windows.Common-Controls" version="6.0.0.0"' <<<"$manifest" || fail "manifest lacks common controls 6"

if [ "$failures" -eq 0 ]; then
  echo "1 passed, 0 failed"
else
  echo "0 passed, 1 failed"
  exit 1
fi
