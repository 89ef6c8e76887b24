#!/usr/bin/env bash
# check-scripts.sh: first, cheaply, setup's deb-src entries follow the machine's
# own package sources (check-apt-src.sh), and its install gets past a broken
# i386 package index (check-apt-install.sh). Then make check survives an
# interruption and leaves nothing behind. It is stopped with Ctrl-C while it
# creates its Wine prefix, then with SIGTERM to make during the end-to-end
# tests; after each, none of the processes, namespaces or displays it started
# may remain. The next run, on a prefix broken as an older script left it and a
# lab that was already up, must pass, make the prefix again and leave the lab
# running; its router must log to its log file only, not to the system console.
# Each run is limited to a few tests (TESTS below); the whole check takes about
# three minutes. Needs root and the demo router's lab down.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/session.sh
session_begin

TESTS='MappingStoreTest|StartupTest'
logs=$root/build/check-scripts
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Running processes of the kinds make check starts, as "PID NAME".
run_processes() {
  ps -e -o pid=,stat=,comm= | awk '$2 !~ /^Z/ && $3 ~ /^(Xvfb|miniupnpd|wine|ctest|e2e_tests)|\.exe$/ { print $1, $3 }' | sort
}
displays() { ls /tmp/.X11-unix 2>/dev/null || true; }

# start_make LOG: make check in the background, in a process group of its own
# (as in a terminal), so that a Ctrl-C can be sent to all of it.
start_make() {
  before=$(run_processes)
  displays_before=$(displays)
  set -m
  make check TESTS="$TESTS" >"$logs/$1" 2>&1 &
  make_pid=$!
  set +m
}

# wait_for WHAT CMD...: until CMD succeeds while make check runs (at most 5 minutes).
wait_for() {
  local what=$1
  shift
  for _ in $(seq 1500); do
    "$@" >/dev/null 2>&1 && return 0
    kill -0 "$make_pid" 2>/dev/null || break
    sleep 0.2
  done
  fail "make check never reached $what (see $logs)"
}

# stopped_cleanly WHAT: make check ended with a failure and, once it had
# ended, nothing it started was left.
stopped_cleanly() {
  local status=0 left
  wait "$make_pid" || status=$?
  [ "$status" != 0 ] || fail "$1: make check ended with success"
  left=$(comm -13 <(echo "$before") <(run_processes))
  [ -z "$left" ] || fail "$1: left running: $(tr "\n" " " <<<"$left")"
  [ -z "$(ip netns list | grep '^gw-' || true)" ] || fail "$1: left the gw-* namespaces"
  [ "$(displays)" = "$displays_before" ] || fail "$1: left a display"
}

echo "1/5: deb-src entries from the machine's own deb sources; an install past a broken i386 index"
bash scripts/check-apt-src.sh || fail "the deb-src entries (message above)"
bash scripts/check-apt-install.sh || fail "the install past a broken i386 index (message above)"

mkdir -p "$logs"
lab_take
[ "$lab_found" = down ] || die "the demo router's lab is up; take it down first (bash scripts/router.sh down)"

echo "2/5: Ctrl-C while make check creates its Wine prefix"
rm -rf build/wine/host*
start_make ctrl-c.log
wait_for "the prefix's creation" pgrep -x wineboot.exe
sleep 2
kill -INT -- -"$make_pid" 2>/dev/null || true
stopped_cleanly "Ctrl-C"
[ ! -e build/wine/host ] || fail "Ctrl-C: a half-made prefix took the place of build/wine/host"

echo "3/5: SIGTERM to make during the end-to-end tests"
start_make sigterm.log
wait_for "the end-to-end tests" pgrep -f 'e2e-work.*Gatewright\.exe'
kill -TERM "$make_pid" 2>/dev/null || true
stopped_cleanly "SIGTERM"

echo "4/5: the next run, on a broken prefix and a lab already up"
# What an interrupted creation by an older script left: a prefix without kernel32.
rm -f build/wine/host/drive_c/windows/sys*/kernel32.dll
router up >/dev/null
start_make next-run.log
wait "$make_pid" || fail "the next run failed (see $logs/next-run.log)"
grep -q "build/wine/host does not start; creating it again" "$logs/next-run.log" ||
  fail "the broken prefix was not made again with a line saying so"
[ "$(router status)" = running ] || fail "the lab found running was not left running"

echo "5/5: the router's log lines go to its log, not to the console or syslog"
# On a serial console every line costs the machine ~0.4 ms of kernel time.
router_pid=$(pgrep -x -n miniupnpd || true)
null_device=$(stat -Lc %t:%T /dev/null)
for f in /dev/console /dev/log; do
  [ -e "$f" ] || continue
  [ "$(nsenter -t "$router_pid" -m stat -Lc %t:%T "$f" 2>/dev/null)" = "$null_device" ] ||
    fail "the router's $f is not /dev/null"
done

if [ "$failures" = 0 ]; then
  echo "5 passed, 0 failed"
else
  echo "$failures failed (logs: $logs)"
  exit 1
fi
