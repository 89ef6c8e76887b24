#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on Debian 12.
# Safe to run again: each step checks first and does nothing when already done.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/session.sh"

[ "$(id -u)" = 0 ] || die "setup must run as root (it installs packages); run it again with sudo"

export DEBIAN_FRONTEND=noninteractive
deps="$root/build/deps"
# Another apt run on the machine is waited for rather than failed on.
apt_wait=(-o DPkg::Lock::Timeout=600)

packages=(
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools cmake make ninja-build dpkg-dev
  wine wine32:i386 wine64
  miniupnpd-nftables miniupnpc natpmpc nftables iproute2
  xvfb imagemagick fonts-wqy-microhei fonts-wine x11-utils
  locales googletest libgtest-dev nsis
  clang libclang-rt-14-dev
)

apt_updated=
apt_update() {
  [ -n "$apt_updated" ] && return
  apt-get "${apt_wait[@]}" update -qq || true
  apt_updated=1
}

# Packages for i386 (the 32-bit Wine) need the foreign architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  apt_updated=
fi

# apt-get source needs deb-src entries. They get a file of their own, so that the
# system's own source list stays untouched, and are taken from the machine's own
# deb sources, so that they follow its mirror; a file that no longer matches
# them (an older fixed one, a mirror changed since) is written again.
src=/etc/apt/sources.list.d/gatewright-src.sources
deb_src=$(bash "$root/scripts/apt-src.sh" /etc/apt/sources.list /etc/apt/sources.list.d)
if [ "$deb_src" != "$(cat "$src" 2>/dev/null)" ]; then
  printf '%s\n' "$deb_src" > "$src.new"
  mv "$src.new" "$src"
  apt_updated=
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  # An install cut short leaves dpkg waiting to be finished before any other.
  if [ -n "$(dpkg --audit)" ]; then
    dpkg --configure -a || die "dpkg could not finish an earlier, interrupted install; run 'dpkg --configure -a' to see why"
  fi
  apt_update
  # miniupnpd asks debconf questions and may try to start itself; neither is wanted here.
  echo 'miniupnpd miniupnpd/start_daemon boolean false' | debconf-set-selections
  bash "$root/scripts/apt-install.sh" "${missing[@]}"
  # The package's own service would answer on the host's interfaces; the demo runs its own.
  systemctl disable --now miniupnpd >/dev/null 2>&1 || true
  pkill -x miniupnpd >/dev/null 2>&1 || true
fi

# Wine's ANSI code page follows the locale: zh_CN.UTF-8 gives code page 936.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null || die "generating the zh_CN.UTF-8 locale failed (locale-gen's messages above)"
fi

# miniupnpc's source, built for Windows by the project's own CMake build. It is
# unpacked beside and renamed when whole, so a cut-short unpack is not taken for it.
if [ ! -d "$deps/miniupnpc-2.2.4" ]; then
  apt_update
  mkdir -p "$deps"
  ( cd "$deps" && apt-get source --download-only miniupnpc=2.2.4* >/dev/null 2>&1 \
      || apt-get source --download-only miniupnpc >/dev/null ) ||
    die "fetching miniupnpc's source failed; check the network and $src, then run again"
  tarball=$(ls "$deps"/miniupnpc_2.2.4*.orig.tar.* | head -n 1)
  rm -rf "$deps/unpacking"
  mkdir "$deps/unpacking"
  tar -C "$deps/unpacking" -xf "$tarball"
  mv "$deps/unpacking/miniupnpc-2.2.4" "$deps/miniupnpc-2.2.4"
  rmdir "$deps/unpacking"
fi
# A tree unpacked before a patch was added gets it too.
bash "$root/scripts/patch-deps.sh" "$deps/miniupnpc-2.2.4"
echo "setup: all dependencies present"
