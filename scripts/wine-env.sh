# Sourced by the build and test scripts: which Wine runs the Windows programs.
# The shipped program is 32-bit and is what the tests run. Where 32-bit Wine
# cannot run it (not installed, or a kernel without IA-32 emulation), or where
# GW_ARCH=x86_64 asks for it (make check ARCH=x86_64), they run the 64-bit
# build of the same sources under 64-bit Wine instead; GW_TESTED says which, and why.
if [ "${GW_ARCH:-}" = x86_64 ]; then
  GW_TEST_ARCH=x86_64
  GW_TESTED="the x86_64 build under 64-bit Wine, as asked (ARCH=x86_64)"
elif /usr/lib/wine/wine --version >/dev/null 2>&1; then
  GW_TEST_ARCH=i686
  GW_TESTED="the i686 build under 32-bit Wine"
else
  GW_TEST_ARCH=x86_64
  if [ -e /usr/lib/wine/wine ]; then
    GW_TESTED="the x86_64 build under 64-bit Wine; this kernel cannot run 32-bit code"
  else
    GW_TESTED="the x86_64 build under 64-bit Wine; 32-bit Wine (wine32:i386) is not installed"
  fi
fi
[ "$GW_TEST_ARCH" = i686 ] && WINE=/usr/lib/wine/wine || WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver32
# Code page 936 for the program's narrow texts; no Mono or Gecko downloads.
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 2>/dev/null
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export GW_TEST_ARCH GW_TESTED WINE WINESERVER

# in_netns NETNS CMD...: CMD inside that network namespace, or here when NETNS is "".
in_netns() {
  local ns=$1
  shift
  if [ -n "$ns" ]; then ip netns exec "$ns" "$@"; else "$@"; fi
}

# wine_prefix_up PREFIX [NETNS]: create the prefix if needed and start its
# wineserver (in NETNS: Wine's sockets belong to the wineserver), so that no
# test inherits the background services' output pipes. A prefix that does not
# start (one left half-made by an older script) is made again.
wine_prefix_up() {
  wine_prefix_ready "$1" && wine_prefix_start "$@" && return 0
  echo "Wine prefix $1 does not start; creating it again" >&2
  wine_prefix_down "$1"
  rm -rf "$1"
  wine_prefix_ready "$1" && wine_prefix_start "$@"
}

# wine_prefix_ready PREFIX: the prefix exists, complete. It is made under a
# temporary name and renamed once Wine has set it up and saved it, so that an
# interrupted creation never leaves a half-made prefix in its place.
wine_prefix_ready() {
  [ -d "$1" ] && return 0
  wine_prefix_down "$1"
  rm -rf "$1.partial"
  mkdir -p "$(dirname "$1")"
  WINEPREFIX="$1.partial" "$WINE" wineboot --init </dev/null >"$1.log" 2>&1 &&
    WINEPREFIX="$1.partial" "$WINESERVER" -w &&
    mv -T "$1.partial" "$1"
}

wine_prefix_start() {
  wine_prefix_fonts "$1"
  # Fails harmlessly when the prefix's wineserver already runs.
  in_netns "${2:-}" env WINEPREFIX="$1" "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
  in_netns "${2:-}" env WINEPREFIX="$1" "$WINE" cmd /c exit </dev/null >>"$1.log" 2>&1
}

# The caption buttons are drawn with Marlett (package fonts-wine). This Wine
# does not find the fonts in its own data folder, only those in the prefix.
wine_prefix_fonts() {
  [ -e "$1/drive_c/windows/Fonts/marlett.ttf" ] ||
    cp /usr/share/wine/fonts/marlett.ttf "$1/drive_c/windows/Fonts/" 2>/dev/null || true
}

# wine_virtual_desktop PREFIX [NETNS]: every window of the prefix opens in one
# virtual desktop with a taskbar and a notification area, as on Windows;
# without it, minimising and the notification area depend on the X session.
# Set once per prefix (a marker file in it says so), since it takes a restart
# of the prefix's wineserver; later calls only make sure the prefix is up.
wine_virtual_desktop() {
  local reg="HKCU\\Software\\Wine\\Explorer"
  if [ -e "$1/.virtual-desktop" ]; then
    wine_prefix_up "$@"
    return
  fi
  wine_prefix_up "$@" || return
  in_netns "${2:-}" env WINEPREFIX="$1" "$WINE" reg add "$reg" /v Desktop /d Default /f </dev/null >/dev/null 2>&1
  in_netns "${2:-}" env WINEPREFIX="$1" "$WINE" reg add "$reg\\Desktops" /v Default /d 1024x768 /f </dev/null >/dev/null 2>&1
  wine_prefix_down "$1"
  wine_prefix_up "$@" && touch "$1/.virtual-desktop"
}

# wine_prefix_down PREFIX: stops the prefix's wineserver and every process of
# it, also while the prefix is still being made under its temporary name.
wine_prefix_down() {
  WINEPREFIX="$1" "$WINESERVER" -k >/dev/null 2>&1 || true
  WINEPREFIX="$1.partial" "$WINESERVER" -k >/dev/null 2>&1 || true
}
