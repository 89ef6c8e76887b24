#!/usr/bin/env bash
# check-apt-src.sh: the deb-src entries setup writes name the mirror, suites,
# components and key of the machine's own enabled deb sources, one-line and
# deb822 alike; without any (only deb-src ones, other files), one line says so.
# Needs neither root nor the network: mirror.invalid is never contacted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/session.sh"
apt_src() { bash "$root/scripts/apt-src.sh" "$@"; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/parts" "$tmp/none"

cat >"$tmp/sources.list" <<'EOF'
deb [arch=amd64 signed-by=/keys/security.gpg] http://mirror.invalid/debian-security bookworm-security main non-free-firmware # note
EOF
cat >"$tmp/parts/mirror.sources" <<'EOF'
Types: deb
Enabled: no
URIs: http://mirror.invalid/disabled

Types: deb
# between fields
URIs: http://mirror.invalid/debian
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /keys/archive.gpg
EOF
cat >"$tmp/none/src.sources" <<'EOF'
Types: deb-src
URIs: http://mirror.invalid/debian
EOF
echo 'deb http://mirror.invalid/other bookworm main' >"$tmp/none/other.list.disabled"

diff <(apt_src "$tmp/sources.list" "$tmp/parts") - <<'EOF' || die "apt-src.sh's deb-src entries differ from the sources' (diff above)"
Types: deb-src
URIs: http://mirror.invalid/debian-security
Suites: bookworm-security
Components: main non-free-firmware
Signed-By: /keys/security.gpg

Types: deb-src
URIs: http://mirror.invalid/debian
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /keys/archive.gpg
EOF
err=$(apt_src "$tmp/none" 2>&1 >/dev/null) && die "apt-src.sh succeeded without any deb source"
[ "$(grep -c . <<<"$err")" = 1 ] || die "apt-src.sh without any deb source does not say so in one line: $err"
