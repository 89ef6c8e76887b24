#!/usr/bin/env bash
# Benchmark of one mapping run: the main window's own run (mapping_bench
# program) against a bare loop of the same requests (mapping_bench bare), for 1,
# 10 and 100 rows, with none of the mappings on the router and with all of them
# already there. Prints a Markdown table and the verdicts:
#   - requests: one lookup per row, plus one add per row only when none is present
#   - time: the program within 1.10x of the bare loop (medians)
#
# Usage: bench/run.sh   (as root; GW_BENCH_REPEATS sets the runs per timing, default 5)
#
# Brings up what is missing (router, Xvfb when $DISPLAY is unset, its own Wine
# prefix in the LAN namespace), builds, and takes down only what it brought up.
# Every case empties the router's mapping table first (router.sh restart).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/wine-env.sh

ROW_COUNTS=(1 10 100)
REPEATS=${GW_BENCH_REPEATS:-5}
MAX_RATIO=1.10
FIRST_LOCAL_PORT=20000
FIRST_EXTERNAL_PORT=30000

router="$root/scripts/router.sh"
prefix="$root/build/wine/bench"
work="$root/build/bench-work"
build_dir="$root/build/$GW_TEST_ARCH"

die() { echo "bench: $*" >&2; exit 1; }
note() { echo "bench: $*" >&2; }

[ "$(id -u)" = 0 ] || die "must run as root (network namespaces)"
[[ $REPEATS =~ ^[1-9][0-9]*$ ]] || die "GW_BENCH_REPEATS must be a positive number"

# ---- what was there before ----------------------------------------------------

lab_existed=no
router_answered=no
created_prefix=no

lab_exists() { ip netns list | awk '{print $1}' | grep -qx gw-router; }

router_answers() {
  local port
  port=$(bash "$router" env | sed -n 's/^HTTP_PORT=//p')
  ip netns exec gw-lan timeout 2 bash -c "exec 3<>/dev/tcp/198.18.0.1/$port" 2>/dev/null
}

# ---- set-up and tear-down ---------------------------------------------------------

build() {
  # A tree configured before bench/ existed has no target for it yet.
  if [ -f "$build_dir/build.ninja" ] && ! grep -q mapping_bench "$build_dir/build.ninja"; then
    cmake -S "$root" -B "$build_dir" >/dev/null
  fi
  if bash scripts/build.sh "$GW_TEST_ARCH" >"$work/build.log" 2>&1; then
    return
  fi
  # Other targets may be mid-edit; the benchmark needs only its own.
  note "full build failed (see $work/build.log); building mapping_bench alone"
  cmake --build "$build_dir" --target mapping_bench >>"$work/build.log" 2>&1 \
    || die "build failed (see $work/build.log)"
}

router_up() {
  if lab_exists; then
    lab_existed=yes
    if router_answers; then router_answered=yes; fi
  fi
  # `up` would empty the log others may be reading: only when nothing is there.
  if [ $lab_existed = no ]; then
    bash "$router" up >/dev/null
  elif [ $router_answered = no ]; then
    bash "$router" start >/dev/null
  fi
}

cleanup() {
  wine_prefix_down "$prefix"
  if [ $created_prefix = yes ]; then rm -rf "$prefix"; fi
  display_down
  if [ $lab_existed = no ]; then
    bash "$router" down >/dev/null 2>&1 || true
  elif [ $router_answered = no ]; then
    bash "$router" stop >/dev/null 2>&1 || true
  fi
}

set_up() {
  rm -rf "$work"
  mkdir -p "$work"
  build
  # A copy, so that the program's logs\ folder lands in the scratch folder.
  cp "$build_dir/bench/mapping_bench.exe" "$work/"
  trap cleanup EXIT
  router_up
  eval "$(bash "$router" env)"
  display_up
  [ -d "$prefix" ] || created_prefix=yes
  wine_prefix_up "$prefix" "$LAN_NS"
}

# ---- one run ----------------------------------------------------------------------

empty_table() { bash "$router" restart >/dev/null; }

count_action() {
  local from=$1 action=$2
  tail -c +"$((from + 1))" "$ROUTER_LOG" | grep -c "SOAPAction: .*#$action\b" || true
}

# run_once MODE ROWS: prints "MS LOOKUPS ADDS" for one run of mapping_bench.
run_once() {
  local mode=$1 rows=$2 from out ms
  from=$(stat -c %s "$ROUTER_LOG")
  out=$(ip netns exec "$LAN_NS" env WINEPREFIX="$prefix" "$WINE" "$work/mapping_bench.exe" "$mode" "$rows" \
    </dev/null 2>>"$work/wine.log" | tr -d '\r')
  [[ $out =~ ^rows=$rows\ mode=$mode\ ms=([0-9.]+)$ ]] || die "unexpected output of '$mode $rows': '$out'"
  ms=${BASH_REMATCH[1]}
  [ "$(stat -c %s "$ROUTER_LOG")" -ge "$from" ] || die "the router's log was restarted during a run"
  echo "$ms $(count_action "$from" GetSpecificPortMappingEntry) $(count_action "$from" AddPortMapping)"
}

# Mappings of the benchmark's rows that the router holds, pointing where they should.
mapped_rows() {
  bash "$router" list | awk -v rows="$1" -v ip="$LAN_IP" -v ext="$FIRST_EXTERNAL_PORT" \
    -v loc="$FIRST_LOCAL_PORT" '$1 == "TCP" && $2 >= ext && $2 < ext + rows && $3 == ip ":" ($2 - ext + loc)' |
    wc -l
}

# ---- results ----------------------------------------------------------------------

declare -A times requests
problems=()

record() {
  local key=$1 ms=$2 lookups=$3 adds=$4
  times[$key]+="$ms "
  local seen="$lookups lookups + $adds adds"
  if [ -z "${requests[$key]:-}" ]; then
    requests[$key]=$seen
  elif [ "${requests[$key]}" != "$seen" ]; then
    problems+=("$key: requests differ between runs (${requests[$key]} / $seen)")
    requests[$key]="${requests[$key]} / $seen"
  fi
}

median() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# measure_case MODE ROWS: one run with the table empty, one right after with every mapping present.
measure_case() {
  local mode=$1 rows=$2 result
  empty_table
  result=$(run_once "$mode" "$rows")
  # shellcheck disable=SC2086
  record "$rows,none,$mode" $result
  [ "$(mapped_rows "$rows")" = "$rows" ] || problems+=("$rows rows, $mode: not every row was mapped")
  result=$(run_once "$mode" "$rows")
  # shellcheck disable=SC2086
  record "$rows,all,$mode" $result
}

measure() {
  local rows i
  for rows in "${ROW_COUNTS[@]}"; do
    for i in $(seq "$REPEATS"); do
      # Alternate which mode goes first, so neither always meets a freshly started router.
      if [ $((i % 2)) = 1 ]; then
        measure_case program "$rows"; measure_case bare "$rows"
      else
        measure_case bare "$rows"; measure_case program "$rows"
      fi
    done
    note "$rows rows done"
  done
}

total_requests() { awk '{ print $1 + $4 }' <<<"$1"; }

expected_requests() {
  local rows=$1 state=$2
  if [ "$state" = none ]; then echo "$rows lookups + $rows adds"; else echo "$rows lookups + 0 adds"; fi
}

check_requests() {
  local key=$1 expected=$2
  [ "${requests[$key]}" = "$expected" ] || problems+=("$key: ${requests[$key]}, expected $expected")
}

machine_line() {
  local model memory
  model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
  memory=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
  echo "Machine: $(nproc) cores, ${model:-unknown CPU}, $memory RAM; $(uname -r); $("$WINE" --version); $GW_TEST_ARCH build"
}

report() {
  local rows state program bare ratio slow=()
  echo
  machine_line
  echo "Times: median of $REPEATS runs, milliseconds for one mapping run (QueryPerformanceCounter)."
  echo
  echo "| rows | case | requests (program) | requests (bare) | ms program | ms bare | ratio |"
  echo "|---:|---|---|---|---:|---:|---:|"
  for rows in "${ROW_COUNTS[@]}"; do
    for state in none all; do
      program=$(median "${times[$rows,$state,program]}")
      bare=$(median "${times[$rows,$state,bare]}")
      ratio=$(awk -v p="$program" -v b="$bare" 'BEGIN { printf "%.2f", b > 0 ? p / b : 0 }')
      echo "| $rows | $([ $state = none ] && echo "none present" || echo "all present") |" \
        "${requests[$rows,$state,program]} | ${requests[$rows,$state,bare]} | $program | $bare | $ratio |"
      check_requests "$rows,$state,program" "$(expected_requests "$rows" $state)"
      check_requests "$rows,$state,bare" "$(expected_requests "$rows" $state)"
      awk -v r="$ratio" -v m="$MAX_RATIO" 'BEGIN { exit !(r > m) }' && slow+=("$rows rows, $state present: ${ratio}x")
    done
  done
  echo
  verdicts
}

verdicts() {
  local problem
  if [ ${#problems[@]} = 0 ]; then
    echo "Requests: MET (rows lookups when all are present, 2 x rows when none is)"
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

set_up
measure
report
