#!/usr/bin/env bash
# Runs Gatewright on the demo router: the router's namespaces, the program under
# Wine on the LAN host, and everything torn down afterwards. The program shows
# on $DISPLAY when it is set (the demo ends when the program does); otherwise it
# runs on Xvfb and the demo saves a screenshot of the main window once the
# gateway has been found.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/session.sh
session_begin

session_run bash scripts/prepare.sh
. scripts/wine-env.sh
exe=build/$GW_TEST_ARCH/Gatewright.exe
demo=$root/build/demo
prefix=$root/build/wine/demo
rm -rf "$demo/logs"
mkdir -p "$demo"
cp "$exe" "$demo/Gatewright.exe"

headless=
[ -n "${DISPLAY:-}" ] || headless=1

# Two mappings to the LAN host, so the list shows what the program is for.
seed_demo_list() {
  local key='HKCU\Software\Gatewright\Gatewright\MapList'
  local lan
  lan=$(bash scripts/router.sh env | sed -n 's/^LAN_IP=//p')
  demo_reg add "$key" /v ListCount /t REG_DWORD /d 2 /f
  demo_reg add "$key" /v 0 /d "TCP|8080|18080|$lan|网站" /f
  demo_reg add "$key" /v 1 /d "UDP|3074|13074|$lan|游戏" /f
}

demo_reg() {
  in_netns gw-lan env WINEPREFIX="$prefix" "$WINE" reg "$@" </dev/null >/dev/null 2>&1
}

start_wine() { wine_prefix_up "$prefix" gw-lan && wine_virtual_desktop "$prefix" gw-lan && seed_demo_list; }

lab_take
session_prefix "$prefix"
display_up
lab_up
step "starting Wine on the LAN host (prefix build/wine/demo)" "see build/wine/demo.log; 'make setup' installs Wine" \
  start_wine
winpath="Z:${demo//\//\\}\\Gatewright.exe"
in_netns gw-lan env WINEPREFIX="$prefix" "$WINE" "$winpath" >/dev/null 2>&1 &
program=$!

if [ -z "$headless" ]; then
  echo "Gatewright runs on $DISPLAY; close it to end the demo."
  wait "$program" || true
  exit 0
fi

found=
for _ in $(seq 60); do
  if cat "$demo"/logs/*.log 2>/dev/null | iconv -f GBK -t UTF-8 | grep -q '完成搜索支持设备'; then
    found=1
    break
  fi
  sleep 0.5
done
sleep 1
import -window root -crop 1024x768+0+0 "$demo/main-window.png"
echo "screenshot: build/demo/main-window.png"
cat "$demo"/logs/*.log | iconv -f GBK -t UTF-8
[ -n "$found" ] || die "the program did not find the demo router (its log above)"
