#!/usr/bin/env bash
# apt-install.sh PACKAGE...: installs the packages, getting past a package index
# that failed to download. When the security suite's i386 index is missing
# (a mirror in sync), amd64 libraries have newer candidates than their i386
# twins and apt refuses the 32-bit Wine ("held broken packages"); the machine's
# own release as apt's target release resolves that. Where 32-bit Wine still
# cannot be installed, the rest is, and the tests run the 64-bit build.
set -euo pipefail
. "$(dirname "$0")/session.sh"

apt_install() {
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "$@"
}

apt_install "$@" && exit 0
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$release" ] || die "installing $* failed (apt-get's messages above), and /etc/os-release names no release to try again with"
note "installing failed; trying again with apt's target release set to this machine's release ($release)"
apt_install -t "$release" "$@" && exit 0

failed() { die "installing $* failed; check the network and Debian's package sources (apt-get's messages above), then run again"; }
rest=()
for p in "$@"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
[ ${#rest[@]} -lt $# ] || failed "$@"
[ ${#rest[@]} = 0 ] || apt_install -t "$release" "${rest[@]}" || failed "${rest[@]}"
note "wine32:i386 cannot be installed from this machine's package sources (apt-get's messages above): the tests will run the 64-bit build under 64-bit Wine"
