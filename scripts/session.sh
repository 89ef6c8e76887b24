# shellcheck shell=bash
# Sourced by the scripts: one line naming a failed step, and for check.sh,
# demo.sh and bench/run.sh a run that takes down whatever it brought up (Xvfb,
# Wine servers, the demo router, its own child processes) however it ends:
# passed, failed, Ctrl-C or SIGTERM. A lab that was there before is left as found.

gw_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# A run names its messages and those of the scripts it calls (setup, build).
GW_RUN=${GW_RUN:-$(basename "$0" .sh)}
GW_LAB_LOCK=/tmp/gatewright-lab.lock

note() { echo "$GW_RUN: $*" >&2; }
die() { note "$*"; exit 1; }

# session_run CMD...: runs CMD in the background and waits for it, so that a
# signal reaches the trap at once instead of after CMD has ended.
session_run() { "$@" & wait $!; }

# step WHAT TODO CMD...: runs CMD; when it fails, says which step failed and what to do.
step() {
  local what=$1 todo=$2
  shift 2
  session_run "$@" || die "$what failed; $todo"
}

# ---- a run and its end ----------------------------------------------------------

session_prefixes=()

# session_begin [NAME]: this script is a run of its own, named NAME or after itself.
session_begin() {
  GW_RUN=${1:-$(basename "$0" .sh)}
  export GW_RUN
  trap 'note "interrupted; stopping what it started"; exit 130' INT
  trap 'note "terminated; stopping what it started"; exit 143' TERM
  trap 'exit 129' HUP
  trap session_end EXIT
}

# session_prefix PREFIX...: Wine prefixes of this run, stopped now (a run killed
# outright may have left their servers running) and when the run ends.
session_prefix() {
  local prefix
  for prefix in "$@"; do
    wine_prefix_down "$prefix"
    session_prefixes+=("$prefix")
  done
}

session_end() {
  local status=$? prefix
  # The clean-up itself is not cut short by a second Ctrl-C.
  trap '' INT TERM HUP
  stop_descendants
  for prefix in "${session_prefixes[@]}"; do wine_prefix_down "$prefix"; done
  if declare -F session_on_end >/dev/null; then session_on_end || true; fi
  lab_restore
  display_down
  exit "$status"
}

# descendants PID: the running processes below PID, except the caller's own subshell.
descendants() {
  local self=$BASHPID
  ps -e -o pid=,ppid=,stat= | awk -v root="$1" -v self="$self" '
    $3 !~ /^Z/ && $1 != self { n[$2]++; child[$2, n[$2]] = $1 }
    END {
      todo[1] = root
      for (i = t = 1; i <= t; i++)
        for (j = 1; j <= n[todo[i]]; j++) { todo[++t] = child[todo[i], j]; print todo[t] }
    }'
}

# All at once from one snapshot, so that no child escapes to init when its
# parent goes first.
stop_descendants() {
  local pids
  pids=$(descendants $$)
  [ -n "$pids" ] || return 0
  # shellcheck disable=SC2086
  kill $pids 2>/dev/null || true
  for _ in $(seq 30); do
    pids=$(descendants $$)
    [ -n "$pids" ] || return 0
    sleep 0.1
  done
  # shellcheck disable=SC2086
  kill -9 $pids 2>/dev/null || true
}

# ---- the demo router's lab ------------------------------------------------------

lab_found=
lab_port=

router() { bash "$gw_scripts/router.sh" "$@"; }

router_port() { router env | sed -n 's/^HTTP_PORT=//p'; }

# lab_lock: one run at a time uses the lab. A caller that already holds the
# lock (flock /tmp/gatewright-lab.lock make check) has passed it down: the
# descriptor it holds it on is used, so the run does not wait on itself.
lab_lock() {
  local fd
  for fd in /proc/$$/fd/*; do
    [ "$(readlink "$fd")" = "$GW_LAB_LOCK" ] && flock -n "${fd##*/}" && return 0
  done
  exec {gw_lab_lock_fd}>>"$GW_LAB_LOCK"
  flock -n "$gw_lab_lock_fd" && return 0
  note "waiting for another run that uses the demo router to end ($GW_LAB_LOCK)"
  session_run flock "$gw_lab_lock_fd"
}

# lab_take: the lab to this run; notes how it was found (down, stopped or
# running, and the router's port) to leave it so at the end.
lab_take() {
  lab_lock
  lab_found=$(router status)
  lab_port=$(router_port)
}

lab_up() {
  case $lab_found in
    down) step "starting the demo router" "see router.sh's message above" router_quiet up ;;
    stopped) step "starting the demo router" "see router.sh's message above" router_quiet start ;;
  esac
}

# Output redirected inside the command run, not around session_run: that would
# also swallow the messages of the trap and of step.
router_quiet() { router "$@" >/dev/null; }

lab_restore() {
  case $lab_found in
    down) router down ;;
    stopped | running)
      [ "$(router_port)" = "$lab_port" ] || router port "$lab_port"
      if [ "$lab_found" = running ]; then router start; else router stop; fi ;;
  esac >/dev/null 2>&1 || note "the demo router could not be left as it was found ($lab_found)"
}

# ---- display --------------------------------------------------------------------

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
  die "Xvfb did not start on :$n; run 'Xvfb :$n' to see why"
}

# Waits for Xvfb to end, so that its lock file and socket are gone with it.
display_down() {
  [ -n "$GW_XVFB_PID" ] || return 0
  kill "$GW_XVFB_PID" 2>/dev/null || true
  wait "$GW_XVFB_PID" 2>/dev/null || true
  GW_XVFB_PID=
}
