#!/usr/bin/env bash
# check-apt-install.sh: the set-up's install gets past a broken i386 index. An
# apt-get on PATH refuses every install without a target release, and with one
# still refuses wine32:i386 ("held broken packages"), as on a machine whose
# security suite's i386 index failed to download. The install must try again
# with this machine's release, then install the rest and say in one line that
# the tests will run the 64-bit build; any other package it cannot install
# stops it with one line. Installs nothing and needs no network.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
release=$(. /etc/os-release && echo "$VERSION_CODENAME")

cat >"$tmp/apt-get" <<'EOF_APT'
#!/usr/bin/env bash
echo "$*" >>"$APT_CALLS"
case " $* " in
  *" unavailable "* | *" -t "*" wine32:i386 "*) echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;;
  *" -t "*) exit 0 ;;
  *) echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;;
esac
EOF_APT
chmod +x "$tmp/apt-get"
fail() { echo "FAIL: $*"; exit 1; }

status=0
APT_CALLS=$tmp/calls PATH="$tmp:$PATH" GW_RUN=setup \
  bash "$root/scripts/apt-install.sh" wine wine32:i386 nsis >"$tmp/out" 2>&1 || status=$?
[ "$status" = 0 ] || fail "the install did not go on without wine32:i386 (exit $status): $(cat "$tmp/out")"
opts="-o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends"
expected="$opts wine wine32:i386 nsis
$opts -t $release wine wine32:i386 nsis
$opts -t $release wine nsis"
[ "$(cat "$tmp/calls")" = "$expected" ] || fail "apt-get was called otherwise than expected: $(cat "$tmp/calls")"
[ "$(grep -c 'tests will run the 64-bit build' "$tmp/out")" = 1 ] ||
  fail "no single line says that the tests will run the 64-bit build: $(cat "$tmp/out")"

# Any other package that cannot be installed stops the set-up, named in one line.
status=0
APT_CALLS=$tmp/calls2 PATH="$tmp:$PATH" GW_RUN=setup \
  bash "$root/scripts/apt-install.sh" wine32:i386 unavailable >"$tmp/out" 2>&1 || status=$?
[ "$status" != 0 ] || fail "a package that cannot be installed counted as installed"
grep -q '^setup: installing unavailable failed' "$tmp/out" || fail "the failed package was not named: $(cat "$tmp/out")"
echo "apt-install: passed"
