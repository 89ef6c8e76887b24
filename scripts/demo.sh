#!/usr/bin/env bash
# Runs Gatewright on the demo router: the router's namespaces, the program under
# Wine on the LAN host, and everything torn down afterwards. The program shows
# on $DISPLAY when it is set (the demo ends when the program does); otherwise it
# runs on Xvfb, the demo presses Start once the gateway has been found and saves
# a screenshot of the main window with the rows' states.
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

# Three mappings to the LAN host, so the list shows what the program is for.
# On a lab of its own, the demo lets another LAN host hold the third one's
# port, so that the list shows a held row too.
seed_demo_list() {
  local key='HKCU\Software\Gatewright\Gatewright\MapList'
  local lan
  lan=$(bash scripts/router.sh env | sed -n 's/^LAN_IP=//p')
  demo_reg add "$key" /v ListCount /t REG_DWORD /d 3 /f
  demo_reg add "$key" /v 0 /d "TCP|8080|18080|$lan|网站" /f
  demo_reg add "$key" /v 1 /d "UDP|3074|13074|$lan|游戏" /f
  demo_reg add "$key" /v 2 /d "TCP|3389|13389|$lan|远程桌面" /f
  if [ "$lab_found" = down ]; then
    router exec lan upnpc -a 198.18.0.3 3389 13389 TCP >/dev/null 2>&1 || true
  fi
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

if [ -z "$headless" ]; then
  in_netns gw-lan env WINEPREFIX="$prefix" "$WINE" "$winpath" >/dev/null 2>&1 &
  echo "Gatewright runs on $DISPLAY; close it to end the demo."
  wait $! || true
  exit 0
fi

# Headless, the test driver starts the program and presses Start once the
# router is found, so that the screenshot shows each row's state.
coproc driver { in_netns gw-lan env WINEPREFIX="$prefix" "$WINE" "build/$GW_TEST_ARCH/tests/uidriver.exe" 2>/dev/null; }
ask() {
  local answer=
  echo "$1" >&"${driver[1]}"
  read -r -t 60 answer <&"${driver[0]}" || true
  echo "${answer%$'\r'}"
}
demo_log() { cat "$demo"/logs/*.log 2>/dev/null | iconv -f GBK -t UTF-8; }

ask "launch $winpath" >/dev/null
ask "main 30000" >/dev/null
found=
for _ in $(seq 60); do
  if [ "$(ask "enabled 1005")" = "ok 1" ]; then
    found=1
    break
  fi
  sleep 0.5
done
if [ -n "$found" ]; then
  ask "click 1005" >/dev/null
  for _ in $(seq 40); do
    [ "$(demo_log | grep -c '映射成功')" -ge 2 ] && break
    sleep 0.5
  done
fi
sleep 1
import -window root -crop 1024x768+0+0 "$demo/main-window.png"
echo "screenshot: build/demo/main-window.png"
demo_log
[ -n "$found" ] || die "the program did not find the demo router (its log above)"
