# Sourced by the build and test scripts: which Wine runs the Windows programs.
# The shipped program is 32-bit. Where the kernel cannot run 32-bit code (no
# IA-32 emulation), 32-bit Wine cannot start, and the tests run the 64-bit build
# of the same sources under 64-bit Wine instead.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  GW_TEST_ARCH=i686
  WINE=/usr/lib/wine/wine
else
  GW_TEST_ARCH=x86_64
  WINE=/usr/lib/wine/wine64
fi
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver32
# Code page 936 for the program's narrow texts; no Mono or Gecko downloads.
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 2>/dev/null
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export GW_TEST_ARCH WINE WINESERVER

# in_netns NETNS CMD...: CMD inside that network namespace, or here when NETNS is "".
in_netns() {
  local ns=$1
  shift
  if [ -n "$ns" ]; then ip netns exec "$ns" "$@"; else "$@"; fi
}

# wine_prefix_up PREFIX [NETNS]: create the prefix if needed and start its
# wineserver (in NETNS: Wine's sockets belong to the wineserver), so that no
# test inherits the background services' output pipes.
wine_prefix_up() {
  mkdir -p "$1"
  # Fails harmlessly when the prefix's wineserver already runs.
  in_netns "${2:-}" env WINEPREFIX="$1" "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
  in_netns "${2:-}" env WINEPREFIX="$1" "$WINE" cmd /c exit </dev/null >/dev/null 2>&1
}

# wine_virtual_desktop PREFIX [NETNS]: every window of the prefix opens in one
# virtual desktop with a taskbar and a notification area, as on Windows;
# without it, minimising and the notification area depend on the X session.
wine_virtual_desktop() {
  local reg="HKCU\\Software\\Wine\\Explorer"
  in_netns "${2:-}" env WINEPREFIX="$1" "$WINE" reg add "$reg" /v Desktop /d Default /f </dev/null >/dev/null 2>&1
  in_netns "${2:-}" env WINEPREFIX="$1" "$WINE" reg add "$reg\\Desktops" /v Default /d 1024x768 /f </dev/null >/dev/null 2>&1
  wine_prefix_down "$1"
  wine_prefix_up "$@"
}

wine_prefix_down() {
  WINEPREFIX="$1" "$WINESERVER" -k >/dev/null 2>&1 || true
}

# display_up: an X display for Wine's windows; starts Xvfb when none is set.
GW_XVFB_PID=
display_up() {
  [ -n "${DISPLAY:-}" ] && return
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
  GW_XVFB_PID=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && return; sleep 0.1; done
  echo "Xvfb did not start" >&2
  return 1
}

display_down() {
  [ -n "$GW_XVFB_PID" ] && kill "$GW_XVFB_PID" 2>/dev/null || true
}
