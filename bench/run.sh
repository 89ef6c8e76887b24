#!/usr/bin/env bash
# Benchmark of one mapping run: the main window's own run (mapping_bench
# program) against a bare loop of the same requests (mapping_bench bare), for 1,
# 10 and 100 rows, with none of the mappings on the router and with all of them
# already there. Prints a Markdown table and the verdicts:
#   - requests: one lookup per row, plus one add per row only when none is present
#   - time: the program within 1.10x of the bare loop (medians)
# Then the window's answers: its slowest answer during a 100-row run
# (mapping_bench answer) and during a router outage, and the time from the
# router answering again to the list mapped (mapping_bench outage), in a second
# table with their targets.
#
# Usage: bench/run.sh   (as root)
#   GW_BENCH_REPEATS      runs per timing for 1 and 10 rows (default 5)
#   GW_BENCH_REPEATS_100  runs per timing for 100 rows (default 1): the router's
#                         time per request grows with the mappings it holds, so
#                         one 100-row run takes 25-40 s and already sums 100-200
#                         requests
#   GW_BENCH_PARTS        what to measure: "runs", "answers" or both (default)
# Every run's numbers also go to build/bench-work/runs.tsv.
#
# Brings up what is missing (router, Xvfb when $DISPLAY is unset, its own Wine
# prefix in the LAN namespace), builds, and takes down only what it brought up,
# also when interrupted; a router it found running it leaves running, with its
# mapping table emptied.
# Every case empties the router's mapping table first (router.sh restart). The
# router may be shared: a case that was disturbed, or that sent other requests
# than expected, is measured again, at most 3 times, and the last one is reported.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/session.sh
. scripts/wine-env.sh
session_begin bench

ROW_COUNTS=(1 10 100)
REPEATS=${GW_BENCH_REPEATS:-5}
REPEATS_100=${GW_BENCH_REPEATS_100:-1}
PARTS=${GW_BENCH_PARTS:-runs answers}
MAX_RATIO=1.10
MAX_ATTEMPTS=3
FIRST_LOCAL_PORT=20000
FIRST_EXTERNAL_PORT=30000

prefix="$root/build/wine/bench"
work="$root/build/bench-work"
build_dir="$root/build/$GW_TEST_ARCH"

[ "$(id -u)" = 0 ] || die "must run as root (network namespaces)"
[[ $REPEATS =~ ^[1-9][0-9]*$ ]] || die "GW_BENCH_REPEATS must be a positive number"
[[ $REPEATS_100 =~ ^[1-9][0-9]*$ ]] || die "GW_BENCH_REPEATS_100 must be a positive number"
[[ $PARTS =~ ^(runs|answers|runs\ answers|answers\ runs)$ ]] || die "GW_BENCH_PARTS must be runs, answers or both"

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
# lab as found: a router found running stays so, but without the benchmark's
# mappings, which slow every request.
session_on_end() {
  if [ -n "${ROUTER_NS:-}" ]; then router_answer; fi
  if [ $created_prefix = yes ]; then rm -rf "$prefix"; fi
  if [ "$lab_found" = running ]; then empty_table >/dev/null 2>&1; fi
}

set_up() {
  rm -rf "$work"
  mkdir -p "$work"
  printf "rows\tmode\tcase\tms\tlookups\tadds\n" >"$work/runs.tsv"
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

# ---- one run ----------------------------------------------------------------------

empty_table() { router restart >/dev/null; }

count_action() {
  local from=$1 action=$2
  tail -c +"$((from + 1))" "$ROUTER_LOG" | grep -c "SOAPAction: .*#$action\b" || true
}

run_bench() {
  ip netns exec "$LAN_NS" env WINEPREFIX="$prefix" "$WINE" "$work/mapping_bench.exe" "$@" \
    </dev/null >"$work/out" 2>>"$work/wine.log"
}

# run_once MODE ROWS: one run of mapping_bench; sets run_result to "MS LOOKUPS ADDS".
# Fails when the run did not complete or the router's log started afresh meanwhile.
run_once() {
  local mode=$1 rows=$2 from out ms
  run_result=
  from=$(stat -c %s "$ROUTER_LOG")
  session_run run_bench "$mode" "$rows" || true
  out=$(tr -d '\r' <"$work/out")
  if ! [[ $out =~ ^rows=$rows\ mode=$mode\ ms=([0-9.]+)$ ]]; then
    case_issue="'$mode $rows' printed '$out' (see $work/wine.log)"
    return 1
  fi
  ms=${BASH_REMATCH[1]}
  if [ "$(stat -c %s "$ROUTER_LOG")" -lt "$from" ]; then
    case_issue="the router's log started afresh during '$mode $rows'"
    return 1
  fi
  run_result="$ms $(count_action "$from" GetSpecificPortMappingEntry) $(count_action "$from" AddPortMapping)"
}

# Mappings of the benchmark's rows that the router holds, pointing where they should.
mapped_rows() {
  router list | awk -v rows="$1" -v ip="$LAN_IP" -v ext="$FIRST_EXTERNAL_PORT" \
    -v loc="$FIRST_LOCAL_PORT" '$1 == "TCP" && $2 >= ext && $2 < ext + rows && $3 == ip ":" ($2 - ext + loc)' |
    wc -l
}

# sent_as_expected RESULT LOOKUPS ADDS
sent_as_expected() {
  local ms lookups adds
  read -r ms lookups adds <<<"$1"
  [ "$lookups" = "$2" ] && [ "$adds" = "$3" ]
}

# attempt_case MODE ROWS: a run with the table empty, then one right after with
# every mapping present; sets none_result and all_result. Fails, with
# case_issue set, when the case was disturbed or did not come out as expected.
attempt_case() {
  local mode=$1 rows=$2
  none_result='' all_result='' case_issue=''
  if ! empty_table; then
    case_issue="router.sh restart failed"
    return 1
  fi
  run_once "$mode" "$rows" || return 1
  none_result=$run_result
  run_once "$mode" "$rows" || return 1
  all_result=$run_result
  if [ "$(mapped_rows "$rows")" != "$rows" ]; then
    case_issue="not every row is mapped on the router"
    return 1
  fi
  sent_as_expected "$none_result" "$rows" "$rows" && sent_as_expected "$all_result" "$rows" 0 ||
    case_issue="requests sent differ from the expected"
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
  session_run run_bench answer 100 || true
  [[ $(tr -d '\r' <"$work/out") =~ ^rows=100\ mode=answer\ worst_ms=([0-9.]+)$ ]] ||
    die "'answer 100' printed '$(cat "$work/out")' (see $work/wine.log)"
  answer_run_ms=${BASH_REMATCH[1]}
}

# outage_case: the rows mapped, then the router silent for a while; the
# window's slowest answer meanwhile and the time until the list is back.
outage_case() {
  local fifo=$work/answering pid
  empty_table || die "router.sh restart failed"
  rm -f "$fifo" && mkfifo "$fifo"
  ip netns exec "$LAN_NS" env WINEPREFIX="$prefix" "$WINE" "$work/mapping_bench.exe" outage "$OUTAGE_ROWS" \
    <"$fifo" >"$work/out" 2>>"$work/wine.log" &
  pid=$!
  exec {answering}>"$fifo"
  session_run wait_for_line mapped || die "'outage' never mapped its rows (see $work/wine.log)"
  router_silence
  sleep "$OUTAGE_SECONDS"
  router_answer
  echo answering >&"$answering"
  exec {answering}>&-
  wait "$pid" || true
  [[ $(tr -d '\r' <"$work/out" | tail -n1) =~ ^rows=$OUTAGE_ROWS\ mode=outage\ worst_ms=([0-9.]+)\ back_ms=([0-9.]+)$ ]] ||
    die "'outage' printed '$(cat "$work/out")' (see $work/wine.log)"
  answer_outage_ms=${BASH_REMATCH[1]}
  back_ms=${BASH_REMATCH[2]}
}

wait_for_line() {
  local i
  for i in $(seq 600); do
    grep -q "^$1" "$work/out" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

measure_answers() {
  answer_case
  outage_case
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
}

# ---- results ----------------------------------------------------------------------

declare -A times requests
problems=()
slow=()
remeasured=0

# describe ROWS,STATE,MODE
describe() {
  local rows state mode
  IFS=, read -r rows state mode <<<"$1"
  echo "$rows rows, $state present, $mode"
}

record() {
  local key=$1 ms=$2 lookups=$3 adds=$4
  times[$key]+="$ms "
  local seen="$((lookups + adds)) (get $lookups, add $adds)"
  if [ -z "${requests[$key]:-}" ]; then
    requests[$key]=$seen
  elif [ "${requests[$key]}" != "$seen" ]; then
    problems+=("$(describe "$key"): requests differ between runs (${requests[$key]} / $seen)")
    requests[$key]="${requests[$key]} / $seen"
  fi
}

median() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# measure_case MODE ROWS: the router is shared, so a disturbed case is measured
# again (at most MAX_ATTEMPTS times); what the last attempt measured is kept.
measure_case() {
  local mode=$1 rows=$2 attempt
  for attempt in $(seq "$MAX_ATTEMPTS"); do
    if attempt_case "$mode" "$rows" && [ -z "$case_issue" ]; then
      break
    fi
    note "$rows rows, $mode, attempt $attempt: $case_issue"
    remeasured=$((remeasured + 1))
  done
  [ -n "$all_result" ] || die "$rows rows, $mode: no complete attempt (is someone else restarting the router?)"
  [ -z "$case_issue" ] || problems+=("$rows rows, $mode: $case_issue")
  printf '%s\t%s\tnone\t%s\n%s\t%s\tall\t%s\n' "$rows" "$mode" "$none_result" "$rows" "$mode" "$all_result" |
    tr ' ' '\t' >>"$work/runs.tsv"
  # shellcheck disable=SC2086
  record "$rows,none,$mode" $none_result
  # shellcheck disable=SC2086
  record "$rows,all,$mode" $all_result
}

repeats_for() { if [ "$1" -ge 100 ]; then echo "$REPEATS_100"; else echo "$REPEATS"; fi; }

measure() {
  local rows i
  for rows in "${ROW_COUNTS[@]}"; do
    for i in $(seq "$(repeats_for "$rows")"); do
      # Alternate which mode goes first, so that a drift over the runs weighs on both alike.
      if [ $((i % 2)) = 1 ]; then
        measure_case program "$rows"; measure_case bare "$rows"
      else
        measure_case bare "$rows"; measure_case program "$rows"
      fi
    done
    note "$rows rows done (${SECONDS}s)"
  done
}

expected_requests() {
  local rows=$1 state=$2
  if [ "$state" = none ]; then echo "$((2 * rows)) (get $rows, add $rows)"; else echo "$rows (get $rows, add 0)"; fi
}

check_requests() {
  local key=$1 expected=$2
  [ "${requests[$key]}" = "$expected" ] || problems+=("$(describe "$key"): ${requests[$key]}, expected $expected")
}

machine_line() {
  local model memory
  model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
  memory=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
  echo "Machine: $(nproc) cores, ${model:-unknown CPU}, $memory RAM; $(uname -r); $("$WINE" --version); $GW_TEST_ARCH build"
}

# spread VALUES: slowest over fastest of a case's runs, as a yardstick for the ratio.
spread() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END {
    if (NR < 2) print "unknown (one run)"; else printf "%.2fx\n", v[NR] / v[1] }'
}

# over_limit PROGRAM_MS BARE_MS: whether the program took more than MAX_RATIO times the bare loop.
over_limit() { awk -v p="$1" -v b="$2" -v m="$MAX_RATIO" 'BEGIN { exit !(p > m * b) }'; }

report() {
  local rows state program bare ratio
  echo
  machine_line
  echo "Times: milliseconds for one mapping run (QueryPerformanceCounter), median of $REPEATS runs" \
    "($REPEATS_100 for 100 rows). Cases measured again after a disturbance: $remeasured."
  echo
  echo "| rows | case | requests (program) | requests (bare) | ms program | ms bare | ratio |"
  echo "|---:|---|---|---|---:|---:|---:|"
  for rows in "${ROW_COUNTS[@]}"; do
    for state in none all; do
      program=$(median "${times[$rows,$state,program]}")
      bare=$(median "${times[$rows,$state,bare]}")
      ratio=$(awk -v p="$program" -v b="$bare" 'BEGIN { printf "%.2f", (b > 0 ? p / b : 0) }')
      echo "| $rows | $([ $state = none ] && echo "none present" || echo "all present") |" \
        "${requests[$rows,$state,program]} | ${requests[$rows,$state,bare]} | $program | $bare | $ratio |"
      check_requests "$rows,$state,program" "$(expected_requests "$rows" $state)"
      check_requests "$rows,$state,bare" "$(expected_requests "$rows" $state)"
      if over_limit "$program" "$bare"; then
        slow+=("$rows rows, $state present: ${ratio}x (the bare loop's own runs spread $(spread "${times[$rows,$state,bare]}"))")
      fi
    done
  done
  echo
  verdicts
  echo "Every run: $work/runs.tsv"
}

verdicts() {
  local problem
  if [ ${#problems[@]} = 0 ]; then
    echo "Requests: MET (get = rows; add = rows when none is present, 0 when all are)"
  else
    echo "Requests: NOT MET"
    for problem in "${problems[@]}"; do echo "  - $problem"; done
  fi
  if [ ${#slow[@]} = 0 ]; then
    echo "Time: MET (program within ${MAX_RATIO}x of the bare loop in every case)"
  else
    echo "Time: NOT MET (program over ${MAX_RATIO}x of the bare loop)"
    for problem in "${slow[@]}"; do echo "  - $problem"; done
  fi
}

wants() { [[ " $PARTS " == *" $1 "* ]]; }

set_up
if wants runs; then measure; fi
if wants answers; then measure_answers; fi
if wants runs; then report; fi
if wants answers; then report_answers; fi
