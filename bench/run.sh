#!/usr/bin/env bash
# Benchmark of the program's mapping runs (mapping_bench program: the main
# window and its gateway worker) against a bare loop of the library's calls in
# one process (mapping_bench bare), for 1, 10 and 100 rows, on the demo router
# in its normal role (IGD version 2: the program reads the router's table) and
# in its igd1 role (IGD version 1: the program looks up each row). Each run of
# mapping_bench times two runs: Start with none of the mappings on the router,
# then a refresh with all of them there. Program and bare loop take turns.
# Prints Markdown tables and the verdicts, each on the fastest and the median
# of the runs:
#   - requests, counted in the router's log: on IGDv2 at most 2 table reads
#     plus the adds, plus the external address on a refresh; on IGDv1 one
#     lookup per row plus the adds (plus the address)
#   - IGDv2, 100 rows, refresh: at most 0.10x the bare loop's time
#   - the program's own cost, the worker's run beyond its library calls (both
#     timed inside the program): at most 1 ms per run and 0.05 ms per request
#   - IGDv1, 100 rows: at most 1.10x the bare loop's time on the fastest runs
# The 1- and 10-row ratios are shown, with no target; so are two parts of the
# program's own cost, each timed alone (mapping_bench parts): the hand-over of
# a request to the thread that bounds it, with nothing to call, and one line
# of the activity log.
# Then the window's answers: its slowest answer during a 100-row run
# (mapping_bench answer) and during a router outage, and the time from the
# router answering again to the list mapped (mapping_bench outage), and on
# the router in its pcp role (no UPnP: PCP and NAT-PMP only) the PCP requests
# of a 100-row Start and the window's slowest answer meanwhile, in a last
# table with their targets.
# Then the search (mapping_bench found, reboot): from the window showing to
# the router found, with the router found last forgotten (a search) and known
# (asked where it was), with a VPN adapter on the LAN host holding the routes
# (router.sh vpn split, then default), on the router in its normal role and in
# its pcp role; and at a refresh interval of 2 s, the router rebooted at a
# random point of the interval, from it answering again to every row live.
#
# Usage: bench/run.sh   (as root)
#   GW_BENCH_REPEATS  runs of each side per case (default 9)
#   GW_BENCH_ROWS     row counts (default "1 10 100")
#   GW_BENCH_ROLES    router roles: "igd2", "igd1" or both (default)
#   GW_BENCH_PARTS    what to measure: any of "runs", "answers", "search" (default all)
#   GW_BENCH_FOUND_REPEATS  starts per search case (default 5)
#   GW_BENCH_REBOOTS  router reboots timed (default 12)
#   GW_BENCH_BARE     where the bare loop makes its calls: "main" (default), or,
#                     to tell the program's own costs apart, "thread", "bounded"
#                     or "window" (see BarePlace in MappingBench.cpp)
#   GW_BENCH_PERF     1: also counts each run's CPU time and context switches
#                     of the measured process, Wine's server and the router,
#                     with perf (Debian package linux-perf), and reports them
# Every run's numbers also go to build/bench-work/runs.tsv.
#
# Brings up what is missing (router, Xvfb when $DISPLAY is unset, its own Wine
# prefix in the LAN namespace), builds, and takes down only what it brought up,
# also when interrupted; a router it found running it leaves running, in its
# normal role and with its mapping table emptied.
# Every case empties the router's mapping table first (router.sh restart). A
# case that was disturbed, or that sent other requests than expected, is
# measured again, at most 3 times; the last one is reported, and the report
# names every case measured again and why.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/session.sh
. scripts/wine-env.sh
session_begin bench

REPEATS=${GW_BENCH_REPEATS:-9}
read -r -a ROW_COUNTS <<<"${GW_BENCH_ROWS:-1 10 100}"
read -r -a ROLES <<<"${GW_BENCH_ROLES:-igd2 igd1}"
PARTS=${GW_BENCH_PARTS:-runs answers search}
FOUND_REPEATS=${GW_BENCH_FOUND_REPEATS:-5}
REBOOTS=${GW_BENCH_REBOOTS:-12}
PERF=${GW_BENCH_PERF:-}
MAX_ATTEMPTS=3
FIRST_LOCAL_PORT=20000
FIRST_EXTERNAL_PORT=30000
# Targets.
TARGET_ROWS=100
MAX_TABLE_RATIO=0.10
MAX_LOOKUP_RATIO=1.10
MAX_OWN_RUN_MS=1
MAX_OWN_REQUEST_MS=0.05
# A run of mapping_bench says each line within this, even on a busy machine.
LINE_WAIT_SECONDS=120

prefix="$root/build/wine/bench"
work="$root/build/bench-work"
build_dir="$root/build/$GW_TEST_ARCH"

[ "$(id -u)" = 0 ] || die "must run as root (network namespaces)"
[[ $REPEATS =~ ^[1-9][0-9]*$ ]] || die "GW_BENCH_REPEATS must be a positive number"
for rows in "${ROW_COUNTS[@]}"; do
  [[ $rows =~ ^[1-9][0-9]*$ ]] || die "GW_BENCH_ROWS must be positive numbers"
done
for role in "${ROLES[@]}"; do
  [[ $role =~ ^igd[12]$ ]] || die "GW_BENCH_ROLES must be igd2, igd1 or both"
done
[ -z "$PERF" ] || command -v perf >/dev/null || die "GW_BENCH_PERF needs perf (apt-get install linux-perf)"
for part in $PARTS; do
  [[ $part =~ ^(runs|answers|search)$ ]] || die "GW_BENCH_PARTS must be some of runs, answers, search"
done
[[ $FOUND_REPEATS =~ ^[1-9][0-9]*$ && $REBOOTS =~ ^[1-9][0-9]*$ ]] ||
  die "GW_BENCH_FOUND_REPEATS and GW_BENCH_REBOOTS must be positive numbers"

# ---- set-up and tear-down ---------------------------------------------------------

created_prefix=no

build() {
  # A tree configured before bench/ existed has no target for it yet.
  if [ -f "$build_dir/build.ninja" ] && ! grep -q mapping_bench "$build_dir/build.ninja"; then
    cmake -S "$root" -B "$build_dir" >/dev/null
  fi
  if session_run to_build_log bash scripts/build.sh "$GW_TEST_ARCH"; then
    return
  fi
  # Other targets may be mid-edit; the benchmark needs only its own.
  note "full build failed (see $work/build.log); building mapping_bench alone"
  session_run to_build_log cmake --build "$build_dir" --target mapping_bench \
    || die "build failed (see $work/build.log)"
}

to_build_log() { "$@" >>"$work/build.log" 2>&1; }

# After the session has stopped the prefix's wineserver, before it leaves the
# lab as found: a router found running or stopped goes back to its normal
# role, which also empties its table of the benchmark's mappings (they slow
# every request). One found down is taken down again, roles and all.
session_on_end() {
  if [ -n "${ROUTER_NS:-}" ]; then router_answer; fi
  if [ $created_prefix = yes ]; then rm -rf "$prefix"; fi
  case ${lab_found:-} in
    stopped | running)
      { router igd1 off && router pcp off && router vpn off; } >/dev/null 2>&1 ||
        note "the demo router could not be put back in its normal role" ;;
  esac
}

set_up() {
  rm -rf "$work"
  mkdir -p "$work"
  local columns="role rows mode run ms worker_ms request_ms library_ms calls reads lookups adds address requests"
  columns+=" process_cpu_ms process_switches server_cpu_ms server_switches router_cpu_ms"
  tr ' ' '\t' <<<"$columns" >"$work/runs.tsv"
  build
  # A copy, so that the program's logs\ folder lands in the scratch folder.
  cp "$build_dir/bench/mapping_bench.exe" "$work/"
  eval "$(router env)"
  lab_take
  session_prefix "$prefix"
  display_up
  lab_up
  [ -d "$prefix" ] || created_prefix=yes
  step "starting Wine on the LAN host (prefix build/wine/bench)" "see build/wine/bench.log" start_wine
}

# A desktop with a notification area, as the program has on Windows: without
# one, Wine's shell takes seconds to refuse the program's icon.
start_wine() { wine_prefix_up "$prefix" "$LAN_NS" && wine_virtual_desktop "$prefix" "$LAN_NS"; }

# use_role igd1|igd2: the router describes itself as IGD version 1 or 2 (its normal role).
use_role() {
  if [ "$1" = igd1 ]; then router igd1 on; else router igd1 off; fi >/dev/null ||
    die "router.sh igd1 failed"
}

role_name() { if [ "$1" = igd1 ]; then echo "IGDv1 (per row)"; else echo "IGDv2 (table)"; fi; }

# ---- talking to mapping_bench -------------------------------------------------------

# bench_open ARGS...: starts mapping_bench, its standard input and output on
# FIFOs, so that the script can wait for each line and answer it at once.
bench_open() {
  rm -f "$work/to_bench" "$work/from_bench"
  mkfifo "$work/to_bench" "$work/from_bench"
  ip netns exec "$LAN_NS" env WINEPREFIX="$prefix" "$WINE" "$work/mapping_bench.exe" "$@" \
    <"$work/to_bench" >"$work/from_bench" 2>>"$work/wine.log" &
  bench_pid=$!
  exec {bench_in}>"$work/to_bench"
  exec {bench_out}<"$work/from_bench"
}

# In a subshell: a write to a mapping_bench that has ended kills the writer.
bench_say() { (echo "$1" >&"$bench_in") 2>/dev/null; }

# bench_hear REGEX: the next line, which must match (BASH_REMATCH holds its
# parts); otherwise sets case_issue and fails.
bench_hear() {
  local line=
  if ! IFS= read -r -t "$LINE_WAIT_SECONDS" line <&"$bench_out"; then
    case_issue="mapping_bench said nothing where '$1' was due (see $work/wine.log)"
    return 1
  fi
  line=${line%$'\r'}
  [[ $line =~ $1 ]] && return 0
  case_issue="mapping_bench said '$line' where '$1' was due"
  return 1
}

# bench_close: its input ends; it has said its last line and ends by itself,
# or is stopped after 20 s.
bench_close() {
  local i
  exec {bench_in}>&-
  for i in $(seq 200); do
    kill -0 "$bench_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$bench_pid" 2>/dev/null || true
  wait "$bench_pid" 2>/dev/null || true
  exec {bench_out}<&-
}

# ---- CPU time and context switches, counted by perf (GW_BENCH_PERF) ----------------

# counts_begin: perf counts every thread of the machine until counts_end.
counts_begin() {
  [ -n "$PERF" ] || return 0
  perf stat -a --per-thread -x, -e task-clock,context-switches -o "$work/perf.csv" &
  perf_pid=$!
  # Counting starts once perf has opened its counters on every thread.
  sleep 0.3
}

# counts_end: sets run_counts to "CPU_MS SWITCHES" of the measured process,
# then of Wine's server, then the router's CPU_MS ("-" without GW_BENCH_PERF).
counts_end() {
  run_counts="- - - - -"
  [ -n "${perf_pid:-}" ] || return 0
  kill -INT "$perf_pid"
  wait "$perf_pid" || true
  perf_pid=
  run_counts=$(awk -F, '
    { comm = $1; sub(/-[0-9]+$/, "", comm)
      group = comm ~ /^mapping_bench/ ? "bench" : comm ~ /^wineserver/ ? "server" : comm == "miniupnpd" ? "router" : ""
      if (group != "") total[group, $4] += $2 }
    END { printf "%.1f %d %.1f %d %.1f\n", total["bench", "task-clock"], total["bench", "context-switches"],
          total["server", "task-clock"], total["server", "context-switches"], total["router", "task-clock"] }
  ' "$work/perf.csv")
}

# ---- one case: Start with none present, then a refresh with all present -------------

empty_table() { router restart >/dev/null; }

log_size() { stat -c %s "$ROUTER_LOG"; }

# count_lines FROM TO REGEX: lines of the router's log between two of its sizes.
count_lines() {
  head -c "$2" "$ROUTER_LOG" | tail -c +"$(($1 + 1))" | grep -c "$3" || true
}

# count_requests FROM TO [ACTION]: SOAP requests in the router's log between two of its sizes.
count_requests() { count_lines "$1" "$2" "SOAPAction: .*#${3:-}"; }

# requests_between FROM TO: "READS LOOKUPS ADDS ADDRESS TOTAL".
requests_between() {
  echo "$(count_requests "$1" "$2" 'GetListOfPortMappings\b')" \
    "$(count_requests "$1" "$2" 'GetSpecificPortMappingEntry\b')" \
    "$(count_requests "$1" "$2" 'AddPortMapping\b')" \
    "$(count_requests "$1" "$2" 'GetExternalIPAddress\b')" \
    "$(count_requests "$1" "$2")"
}

# run_line_regex MODE ROWS RUN: what mapping_bench says of a run.
run_line_regex() {
  local times='ms=([0-9.]+)'
  [ "$1" = program ] && times+=' worker_ms=([0-9.]+) request_ms=([0-9.]+) library_ms=([0-9.]+) calls=([0-9]+)'
  echo "^rows=$2 mode=$1 run=$3 $times\$"
}

# hear_run MODE ROWS RUN: sets run_times to "MS WORKER REQUESTS LIBRARY CALLS"
# ("-" for those the bare loop does not have).
hear_run() {
  bench_hear "$(run_line_regex "$@")" || return 1
  if [ "$1" = program ]; then
    run_times="${BASH_REMATCH[*]:1}"
  else
    run_times="${BASH_REMATCH[1]} - - - -"
  fi
}

# Mappings of the benchmark's rows that the router holds, pointing where they should.
mapped_rows() {
  router list | awk -v rows="$1" -v ip="$LAN_IP" -v ext="$FIRST_EXTERNAL_PORT" \
    -v loc="$FIRST_LOCAL_PORT" '$1 == "TCP" && $2 >= ext && $2 < ext + rows && $3 == ip ":" ($2 - ext + loc)' |
    wc -l
}

# expected_requests ROLE MODE ROWS RUN: "READS LOOKUPS ADDS ADDRESS TOTAL". The
# rows are all TCP: one table read. A refresh asks for the external address.
expected_requests() {
  local role=$1 mode=$2 rows=$3 run=$4 reads=0 lookups=0 adds=0 address=0
  if [ "$role" = igd2 ] && [ "$mode" = program ]; then reads=1; else lookups=$rows; fi
  if [ "$run" = start ]; then adds=$rows; else address=1; fi
  echo "$reads $lookups $adds $address $((reads + lookups + adds + address))"
}

# attempt_case ROLE MODE ROWS: sets start_result and refresh_result to
# "MS WORKER REQUESTS LIBRARY CALLS READS LOOKUPS ADDS ADDRESS TOTAL". Fails, with
# case_issue set, when the case was disturbed or did not come out as expected.
attempt_case() {
  local role=$1 mode=$2 rows=$3 found started refreshed
  start_result='' refresh_result='' case_issue='' start_counts='' refresh_counts=''
  if ! empty_table; then
    case_issue="router.sh restart failed"
    return 1
  fi
  bench_open "$mode" "$rows"
  if bench_hear '^found$' && found=$(log_size) && counts_begin && bench_say start && hear_run "$mode" "$rows" start; then
    counts_end
    start_result=$run_times start_counts=$run_counts
    started=$(log_size)
    counts_begin
    bench_say refresh
    hear_run "$mode" "$rows" refresh && refresh_result=$run_times
    counts_end
    refresh_counts=$run_counts
  fi
  counts_end
  bench_close
  [ -n "$refresh_result" ] || return 1
  refreshed=$(log_size)
  if [ "$refreshed" -lt "$started" ] || [ "$started" -lt "$found" ]; then
    case_issue="the router's log started afresh during '$mode $rows'"
    return 1
  fi
  start_result+=" $(requests_between "$found" "$started")"
  refresh_result+=" $(requests_between "$started" "$refreshed")"
  if [ "$(mapped_rows "$rows")" != "$rows" ]; then
    case_issue="not every row is mapped on the router"
    return 1
  fi
  check_sent "$role" "$mode" "$rows" start "$start_result" &&
    check_sent "$role" "$mode" "$rows" refresh "$refresh_result"
}

# check_sent ROLE MODE ROWS RUN RESULT: the requests the router saw are those
# expected, and the program counted as many library calls.
check_sent() {
  local role=$1 mode=$2 rows=$3 run=$4 ms worker_ms request_ms library_ms calls sent expected
  read -r ms worker_ms request_ms library_ms calls sent <<<"$5"
  expected=$(expected_requests "$role" "$mode" "$rows" "$run")
  if [ "$sent" != "$expected" ]; then
    case_issue="$run: requests $(describe_requests "$sent"), expected $(describe_requests "$expected")"
    return 1
  fi
  if [ "$calls" != - ] && [ "$calls" != "${sent##* }" ]; then
    case_issue="$run: the program timed $calls library calls, the router saw ${sent##* } requests"
    return 1
  fi
}

# describe_requests "READS LOOKUPS ADDS ADDRESS TOTAL": e.g. "101: 1 read, 100 adds".
describe_requests() {
  local reads lookups adds address total parts=()
  read -r reads lookups adds address total <<<"$1"
  [ "$reads" = 0 ] || parts+=("$reads read$([ "$reads" = 1 ] || echo s)")
  [ "$lookups" = 0 ] || parts+=("$lookups lookup$([ "$lookups" = 1 ] || echo s)")
  [ "$adds" = 0 ] || parts+=("$adds add$([ "$adds" = 1 ] || echo s)")
  [ "$address" = 0 ] || parts+=("$address address")
  local other=$((total - reads - lookups - adds - address))
  [ "$other" = 0 ] || parts+=("$other other")
  local IFS=,
  echo "$total: ${parts[*]}" | sed 's/,/, /g'
}

# ---- the window's answers ---------------------------------------------------------

OUTAGE_ROWS=10
OUTAGE_SECONDS=10
ANSWER_TARGET_MS=250
BACK_TARGET_MS=10000

# The router drops every packet from the LAN, as a hung router does.
router_silence() {
  ip netns exec "$ROUTER_NS" nft -f - <<'NFT'
table inet gwbench {
  chain input { type filter hook input priority -50; iifname "gw-r-lan" drop; }
}
NFT
}
router_answer() { ip netns exec "$ROUTER_NS" nft delete table inet gwbench 2>/dev/null || true; }

# answer_case: the window's slowest answer during a 100-row run.
answer_case() {
  empty_table || die "router.sh restart failed"
  bench_open answer 100
  if bench_hear '^found$' && bench_say start && bench_hear '^rows=100 mode=answer worst_ms=([0-9.]+)$'; then
    answer_run_ms=${BASH_REMATCH[1]}
  fi
  bench_close
  [ -n "${answer_run_ms:-}" ] || die "$case_issue"
}

# outage_case: the rows mapped, then the router silent for a while; the
# window's slowest answer meanwhile and the time until the list is back.
outage_case() {
  empty_table || die "router.sh restart failed"
  bench_open outage "$OUTAGE_ROWS"
  if bench_hear '^found$' && bench_say start && bench_hear '^mapped$'; then
    router_silence
    session_run sleep "$OUTAGE_SECONDS"
    router_answer
    bench_say answering
    if bench_hear "^rows=$OUTAGE_ROWS mode=outage worst_ms=([0-9.]+) back_ms=([0-9.]+)\$"; then
      answer_outage_ms=${BASH_REMATCH[1]}
      back_ms=${BASH_REMATCH[2]}
    fi
  fi
  router_answer
  bench_close
  [ -n "${back_ms:-}" ] || die "$case_issue"
}

# pcp_case: on a router that speaks PCP only, the PCP requests of a 100-row
# Start (one MAP per row) and the window's slowest answer meanwhile.
pcp_case() {
  local found
  router pcp on >/dev/null || die "router.sh pcp on failed"
  bench_open answer 100
  if bench_hear '^found$' && found=$(log_size) && bench_say start &&
    bench_hear '^rows=100 mode=answer worst_ms=([0-9.]+)$'; then
    answer_pcp_ms=${BASH_REMATCH[1]}
    pcp_requests=$(count_lines "$found" "$(log_size)" 'PCP request received')
  fi
  bench_close
  router pcp off >/dev/null || die "router.sh pcp off failed"
  [ -n "${pcp_requests:-}" ] || die "$case_issue"
}

measure_answers() {
  use_role igd2
  answer_case
  outage_case
  pcp_case
  note "the window's answers done (${SECONDS}s)"
}

# within VALUE TARGET: MET or NOT MET.
within() { awk -v v="$1" -v t="$2" 'BEGIN { print (v <= t ? "MET" : "NOT MET") }'; }

report_answers() {
  echo
  echo "| figure | ms | target |"
  echo "|---|---:|---|"
  echo "| the window's slowest answer during a 100-row run | $answer_run_ms | under $ANSWER_TARGET_MS ms: $(within "$answer_run_ms" $ANSWER_TARGET_MS) |"
  echo "| the window's slowest answer while the router is silent ($OUTAGE_ROWS rows, ${OUTAGE_SECONDS} s) | $answer_outage_ms | under $ANSWER_TARGET_MS ms: $(within "$answer_outage_ms" $ANSWER_TARGET_MS) |"
  echo "| router answers again -> every row live again | $back_ms | under $BACK_TARGET_MS ms: $(within "$back_ms" $BACK_TARGET_MS) |"
  echo "| PCP only: the window's slowest answer during a 100-row Start | $answer_pcp_ms | under $ANSWER_TARGET_MS ms: $(within "$answer_pcp_ms" $ANSWER_TARGET_MS) |"
  echo "| PCP only: requests of a 100-row Start | $pcp_requests | one MAP per row, 100: $([ "$pcp_requests" = 100 ] && echo MET || echo NOT MET) |"
}

# ---- the search -------------------------------------------------------------------

FOUND_TARGET_MS=500
REBOOT_INTERVAL_MS=2000
REBOOT_TARGET_MS=$((REBOOT_INTERVAL_MS + 1000))
# Keyed by case: each start's time from the window showing to the router found.
declare -A found_times
reboot_times=

# found_case NAME fresh|known: FOUND_REPEATS starts of the window alone.
found_case() {
  local i found_ms
  for i in $(seq "$FOUND_REPEATS"); do
    found_ms=
    bench_open found "$2"
    if bench_hear '^mode=found ms=([0-9.]+)$'; then found_ms=${BASH_REMATCH[1]}; fi
    bench_close
    [ -n "$found_ms" ] || die "$1: $case_issue"
    found_times[$1]+="$found_ms "
  done
}

# found_cases PREFIX: a search without and with each kind of VPN.
found_cases() {
  local vpn
  found_case "$1" fresh
  for vpn in split default; do
    router vpn "$vpn" >/dev/null || die "router.sh vpn $vpn failed"
    found_case "$1, VPN $vpn" fresh
    router vpn off >/dev/null || die "router.sh vpn off failed"
  done
}

# reboot_case: REBOOTS times, the rows mapped at interval 2 s, then the router
# rebooted (its table emptied) at a random point of the interval.
reboot_case() {
  local i back_ms
  for i in $(seq "$REBOOTS"); do
    empty_table || die "router.sh restart failed"
    back_ms=
    bench_open reboot "$OUTAGE_ROWS"
    if bench_hear '^found$' && bench_say start && bench_hear '^mapped$'; then
      session_run sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.3f", (r % 2000) / 1000 }')"
      router restart >/dev/null || die "router.sh restart failed"
      bench_say answering
      if bench_hear "^rows=$OUTAGE_ROWS mode=reboot worst_ms=[0-9.]+ back_ms=([0-9.]+)\$"; then
        back_ms=${BASH_REMATCH[1]}
      fi
    fi
    bench_close
    [ -n "$back_ms" ] || die "reboot: $case_issue"
    reboot_times+="$back_ms "
  done
}

measure_search() {
  use_role igd2
  found_cases "UPnP"
  # The router found last is kept as a UPnP description's address.
  found_case "UPnP, known" known
  router pcp on >/dev/null || die "router.sh pcp on failed"
  found_cases "PCP"
  router pcp off >/dev/null || die "router.sh pcp off failed"
  reboot_case
  note "the search done (${SECONDS}s)"
}

# found_row NAME TARGET: the case's line, fastest / median / slowest.
found_row() {
  local times=${found_times[$1]}
  echo "| $1 | $(stat_of min "$times") / $(stat_of median "$times") / $(stat_of max "$times") | $2 |"
}

# same_wait PREFIX KIND: the VPN case's slowest start against the search's
# slowest without it, with half a second's grace.
same_wait() {
  local plain vpn
  plain=$(stat_of max "${found_times[$1]}")
  vpn=$(stat_of max "${found_times[$1, VPN $2]}")
  echo "the search's wait, its slowest $plain + 500: $(within "$vpn" "$(awk -v p="$plain" 'BEGIN { print p + 500 }')")"
}

report_search() {
  local prefix vpn
  echo
  echo "From the window showing to the router found (Start enabled), $FOUND_REPEATS starts each, ms" \
    "fastest / median / slowest; 0 is found before the window showed:"
  echo
  echo "| case | ms | target |"
  echo "|---|---:|---|"
  for prefix in UPnP PCP; do
    found_row "$prefix" "a search"
    for vpn in split default; do found_row "$prefix, VPN $vpn" "$(same_wait "$prefix" "$vpn")"; done
  done
  found_row "UPnP, known" "under $FOUND_TARGET_MS: $(within "$(stat_of max "${found_times[UPnP, known]}")" $FOUND_TARGET_MS)"
  echo
  echo "A router reboot at interval $((REBOOT_INTERVAL_MS / 1000)) s, $REBOOTS times at random points of the"     "interval, from the router answering again to every row live ($OUTAGE_ROWS rows), ms"     "fastest / median / slowest: $(stat_of min "$reboot_times") / $(stat_of median "$reboot_times") /"     "$(stat_of max "$reboot_times"); under $REBOOT_TARGET_MS: $(within "$(stat_of max "$reboot_times")" $REBOOT_TARGET_MS)"
}

# ---- results ----------------------------------------------------------------------

# Keyed ROLE,ROWS,RUN,MODE: each run's value, separated by spaces.
declare -A times worker library own handovers own_per_request beyond requests
declare -A process_cpu process_switches server_cpu server_switches router_cpu
problems=()
remeasured=()

record() {
  local key=$1 ms worker_ms request_ms library_ms calls sent
  read -r ms worker_ms request_ms library_ms calls sent <<<"$2"
  times[$key]+="$ms "
  if [ "$calls" != - ]; then
    worker[$key]+="$worker_ms "
    library[$key]+="$library_ms "
    own[$key]+="$(awk -v w="$worker_ms" -v l="$library_ms" 'BEGIN { printf "%.3f", w - l }') "
    handovers[$key]+="$(awk -v r="$request_ms" -v l="$library_ms" 'BEGIN { printf "%.3f", r - l }') "
    own_per_request[$key]+="$(awk -v w="$worker_ms" -v l="$library_ms" -v c="$calls" \
      'BEGIN { printf "%.4f", (c > 0 ? (w - l) / c : 0) }') "
    beyond[$key]+="$(awk -v m="$ms" -v l="$library_ms" 'BEGIN { printf "%.3f", m - l }') "
  fi
  if [ -z "${requests[$key]:-}" ]; then
    requests[$key]=$sent
  elif [ "${requests[$key]}" != "$sent" ]; then
    problems+=("$key: requests differ between runs ($(describe_requests "${requests[$key]}") / $(describe_requests "$sent"))")
  fi
}

# record_counts KEY "CPU_MS SWITCHES CPU_MS SWITCHES CPU_MS": process, server, router.
record_counts() {
  local key=$1 values
  [ -n "$PERF" ] || return 0
  read -r -a values <<<"$2"
  process_cpu[$key]+="${values[0]} "
  process_switches[$key]+="${values[1]} "
  server_cpu[$key]+="${values[2]} "
  server_switches[$key]+="${values[3]} "
  router_cpu[$key]+="${values[4]} "
}

# measure_case ROLE MODE ROWS: a disturbed case is measured again (at most
# MAX_ATTEMPTS times); what the last attempt measured is kept.
measure_case() {
  local role=$1 mode=$2 rows=$3 attempt result
  for attempt in $(seq "$MAX_ATTEMPTS"); do
    if attempt_case "$role" "$mode" "$rows"; then
      break
    fi
    note "$role, $rows rows, $mode, attempt $attempt: $case_issue"
    remeasured+=("$role, $rows rows, $mode, attempt $attempt: $case_issue")
  done
  [ -n "$refresh_result" ] || die "$role, $rows rows, $mode: no complete attempt"
  [ -z "$case_issue" ] || problems+=("$role, $rows rows, $mode: $case_issue")
  for result in "start $start_result $start_counts" "refresh $refresh_result $refresh_counts"; do
    printf '%s\t%s\t%s\t%s\n' "$role" "$rows" "$mode" "$result" | tr ' ' '\t' >>"$work/runs.tsv"
  done
  record "$role,$rows,start,$mode" "$start_result"
  record "$role,$rows,refresh,$mode" "$refresh_result"
  record_counts "$role,$rows,start,$mode" "$start_counts"
  record_counts "$role,$rows,refresh,$mode" "$refresh_counts"
}

measure() {
  local role rows i
  for role in "${ROLES[@]}"; do
    use_role "$role"
    for rows in "${ROW_COUNTS[@]}"; do
      for i in $(seq "$REPEATS"); do
        # Alternate which side goes first, so that a drift over the runs weighs on both alike.
        if [ $((i % 2)) = 1 ]; then
          measure_case "$role" program "$rows"; measure_case "$role" bare "$rows"
        else
          measure_case "$role" bare "$rows"; measure_case "$role" program "$rows"
        fi
      done
      note "$role, $rows rows done (${SECONDS}s)"
    done
  done
  use_role igd2
  measure_parts
}

PARTS_CALLS=1000

# measure_parts: three parts of the program's own cost, each on its own: the
# hand-over of a request to the thread that bounds it and back, with nothing to
# call, one line of the activity log, and the check of this machine's side
# (listeners, firewall) of 100 rows after a run, a tenth as often.
measure_parts() {
  session_run ip netns exec "$LAN_NS" env WINEPREFIX="$prefix" "$WINE" "$work/mapping_bench.exe" parts \
    "$PARTS_CALLS" </dev/null >"$work/out" 2>>"$work/wine.log" || true
  [[ $(tr -d '\r' <"$work/out") =~ ^calls=$PARTS_CALLS\ mode=parts\ handover_ms=([0-9.]+/[0-9.]+)\ logline_ms=([0-9.]+/[0-9.]+)\ localcheck_ms=([0-9.]+/[0-9.]+)$ ]] ||
    die "'parts' printed '$(cat "$work/out")' (see $work/wine.log)"
  handover_ms=${BASH_REMATCH[1]/\// \/ }
  logline_ms=${BASH_REMATCH[2]/\// \/ }
  localcheck_ms=${BASH_REMATCH[3]/\// \/ }
}

# stat_of min|median|max VALUES
stat_of() {
  tr ' ' '\n' <<<"$2" | grep . | sort -g | awk -v what="$1" '{ v[NR] = $1 } END {
    if (what == "min") print v[1]
    else if (what == "max") print v[NR]
    else if (NR % 2) print v[(NR + 1) / 2]
    else printf "%.6g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# min_median VALUES: "fastest / median".
min_median() { echo "$(stat_of min "$1") / $(stat_of median "$1")"; }

# spread VALUES: the slowest over the fastest.
spread() { ratio_of "$(stat_of max "$1")" "$(stat_of min "$1")"; }

ratio_of() { awk -v p="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0 ? p / b : 0) }'; }

# ratio STAT KEY: the program's time over the bare loop's, each side's fastest or median.
ratio() { ratio_of "$(stat_of "$1" "${times[$2,program]}")" "$(stat_of "$1" "${times[$2,bare]}")"; }

machine_line() {
  local model memory
  model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
  memory=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
  echo "Machine: $(nproc) cores, ${model:-unknown CPU}, $memory RAM; $(uname -r); $("$WINE" --version); $GW_TEST_ARCH build"
}

report_times() {
  echo
  echo "Milliseconds for one run, from Start (or the refresh timer) to the results at the window" \
    "(QueryPerformanceCounter); fastest / median of $REPEATS runs of each side; the spread is the" \
    "slowest run over the fastest."
  echo
  echo "| router | rows | run | requests, program | requests, bare | ms program | ms bare | ratio, fastest | ratio, median | spread, program / bare |"
  echo "|---|---:|---|---|---|---:|---:|---:|---:|---:|"
  for_each_case time_row
}

# time_row ROLE ROWS RUN: the case's line of the times table.
time_row() {
  local key=$1,$2,$3
  echo "| $(role_name "$1") | $2 | $(run_name "$3") |" \
    "$(describe_requests "${requests[$key,program]}") | $(describe_requests "${requests[$key,bare]}") |" \
    "$(min_median "${times[$key,program]}") | $(min_median "${times[$key,bare]}") |" \
    "$(ratio min "$key") | $(ratio median "$key") |" \
    "$(spread "${times[$key,program]}") / $(spread "${times[$key,bare]}") |"
}

# for_each_case FUNCTION: FUNCTION ROLE ROWS RUN for every case, in the tables' order.
for_each_case() {
  local role rows run
  for role in "${ROLES[@]}"; do
    for rows in "${ROW_COUNTS[@]}"; do
      for run in start refresh; do
        "$1" "$role" "$rows" "$run"
      done
    done
  done
}

run_name() { if [ "$1" = start ]; then echo "Start, none present"; else echo "refresh, all present"; fi; }

report_own_cost() {
  echo
  echo "The program's own cost: the worker's run (timed around it) beyond the library calls (each timed on" \
    "the thread that bounds it); of it, the hand-overs: the requests as the worker waits for them beyond" \
    "the library calls in them; and the whole run, window to window, beyond the library calls." \
    "Milliseconds, fastest / median of $REPEATS runs."
  echo
  echo "| router | rows | run | requests | worker's run | library calls | own, per run | of it hand-overs | own, per request | window to window beyond the library |"
  echo "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|"
  for_each_case own_cost_row
  echo
  echo "Parts of it, each timed alone $PARTS_CALLS times (fastest / median): the hand-over of one request to" \
    "the thread that bounds it and back, with an empty call, $handover_ms ms; one line of the activity" \
    "log, as each add writes, $logline_ms ms; the check of this machine's side after a run (listeners" \
    "and Windows Firewall) for 100 rows, $((PARTS_CALLS / 10)) times, $localcheck_ms ms."
}

# own_cost_row ROLE ROWS RUN: the case's line of the own-cost table.
own_cost_row() {
  local key=$1,$2,$3,program
  echo "| $(role_name "$1") | $2 | $(run_name "$3") | ${requests[$key]##* } |" \
    "$(min_median "${worker[$key]}") | $(min_median "${library[$key]}") |" \
    "$(min_median "${own[$key]}") | $(min_median "${handovers[$key]}") | $(min_median "${own_per_request[$key]}") |" \
    "$(min_median "${beyond[$key]}") |"
}

# verdict WHAT VALUE TARGET: e.g. "fastest 0.03x: MET".
verdict() { echo "$1 $2: $(within "$2" "$3")"; }

report_verdicts() {
  local problem key run
  echo
  if [ ${#problems[@]} = 0 ]; then
    echo "Requests: MET (IGDv2: one table read, the rows being TCP only, plus the adds, plus the address on a" \
      "refresh: within 2 + adds (+1); IGDv1 and the bare loop: one lookup per row plus the adds (+1))"
  else
    echo "Requests: NOT MET"
    for problem in "${problems[@]}"; do echo "  - $problem"; done
  fi
  if has_case igd2 $TARGET_ROWS; then
    key=igd2,$TARGET_ROWS,refresh
    echo "IGDv2, $TARGET_ROWS rows, refresh, at most ${MAX_TABLE_RATIO}x the bare loop:" \
      "$(verdict fastest "$(ratio min "$key")" $MAX_TABLE_RATIO); $(verdict median "$(ratio median "$key")" $MAX_TABLE_RATIO)"
  fi
  if has_case igd1 $TARGET_ROWS; then
    for run in start refresh; do
      key=igd1,$TARGET_ROWS,$run
      echo "IGDv1, $TARGET_ROWS rows, $(run_name $run), at most ${MAX_LOOKUP_RATIO}x the bare loop on the fastest:" \
        "$(verdict fastest "$(ratio min "$key")" $MAX_LOOKUP_RATIO) (median $(ratio median "$key"))"
    done
  fi
  echo "The program's own cost, at most $MAX_OWN_RUN_MS ms per run and $MAX_OWN_REQUEST_MS ms per request:"
  for_each_case own_cost_verdict
  if [ ${#remeasured[@]} = 0 ]; then
    echo "Cases measured again: none."
  else
    echo "Cases measured again (the last attempt is the one reported):"
    for problem in "${remeasured[@]}"; do echo "  - $problem"; done
  fi
}

report_counts() {
  echo
  echo "Counted by perf over each run (from just before the script's word to the run's line), medians of" \
    "$REPEATS runs: CPU milliseconds and context switches of the measured process (all its threads)" \
    "and of Wine's server, the measured process's switches per request, and the router's CPU milliseconds."
  echo
  echo "| router | rows | run | side | process CPU ms | process switches | per request | server CPU ms | server switches | router CPU ms |"
  echo "|---|---:|---|---|---:|---:|---:|---:|---:|---:|"
  for_each_case counts_rows
}

# counts_rows ROLE ROWS RUN: the case's two lines of the counts table, program then bare.
counts_rows() {
  local mode key switches
  for mode in program bare; do
    key=$1,$2,$3,$mode
    switches=$(stat_of median "${process_switches[$key]}")
    echo "| $(role_name "$1") | $2 | $(run_name "$3") | $mode | $(stat_of median "${process_cpu[$key]}") |" \
      "$switches | $(awk -v s="$switches" -v r="${requests[$key]##* }" 'BEGIN { printf "%.1f", s / r }') |" \
      "$(stat_of median "${server_cpu[$key]}") | $(stat_of median "${server_switches[$key]}") |" \
      "$(stat_of median "${router_cpu[$key]}") |"
  done
}

# own_cost_verdict ROLE ROWS RUN: the case's own cost against its targets.
own_cost_verdict() {
  local key=$1,$2,$3,program line
  line="  - $(role_name "$1"), $2 rows, $(run_name "$3"): per run"
  line+=" $(verdict fastest "$(stat_of min "${own[$key]}")" $MAX_OWN_RUN_MS),"
  line+=" $(verdict median "$(stat_of median "${own[$key]}")" $MAX_OWN_RUN_MS); per request"
  line+=" $(verdict fastest "$(stat_of min "${own_per_request[$key]}")" $MAX_OWN_REQUEST_MS),"
  line+=" $(verdict median "$(stat_of median "${own_per_request[$key]}")" $MAX_OWN_REQUEST_MS)"
  echo "$line"
}

# has_case ROLE ROWS: whether that role and row count were measured.
has_case() { [[ " ${ROLES[*]} " == *" $1 "* && " ${ROW_COUNTS[*]} " == *" $2 "* ]]; }

report() {
  echo
  machine_line
  report_times
  report_own_cost
  if [ -n "$PERF" ]; then report_counts; fi
  report_verdicts
  echo "Every run: $work/runs.tsv"
}

wants() { [[ " $PARTS " == *" $1 "* ]]; }

set_up
if wants runs; then measure; fi
if wants answers; then measure_answers; fi
if wants search; then measure_search; fi
if wants runs; then report; fi
if wants answers; then report_answers; fi
if wants search; then report_search; fi
