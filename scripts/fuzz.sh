#!/usr/bin/env bash
# fuzz.sh [replay]: builds the fuzz targets natively (tests/fuzz, in build/fuzz)
# and runs each for FUZZ_SECONDS (60) from its seed corpus, new inputs going
# to build/fuzz/corpus; with "replay", runs each over its corpus once instead,
# failing on the first input that fails. FUZZ_TARGETS=NAME... runs only those.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/session.sh"
mode=${1:-fuzz}
dir="$root/build/fuzz"
corpus="$root/tests/fuzz/corpus"

command -v clang >/dev/null && command -v clang++ >/dev/null ||
  die "clang is not installed; 'make setup' installs it (packages clang and libclang-rt-14-dev)"
[ -f "$(clang -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ] ||
  die "clang's libFuzzer is not installed; 'make setup' installs it (package libclang-rt-14-dev)"
[ -d "$root/build/deps/miniupnpc-2.2.4" ] || die "miniupnpc's source is not unpacked; run 'make setup'"
if [ ! -f "$dir/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root/tests/fuzz" -B "$dir" -G Ninja >/dev/null ||
    die "configuring build/fuzz failed (CMake's messages above); is libclang-rt-14-dev installed? 'make setup' installs it"
fi
cmake --build "$dir" >/dev/null || die "building the fuzz targets failed; run 'cmake --build build/fuzz' to see why"

# Past the largest input each decoder takes, so that the limit itself is tried.
declare -A max_len=(
  [pcp_map]=1400 [natpmp_map]=1400 [natpmp_address]=1400 [router_table]=20000
  [mapping_record]=1400 [interval_text]=40000 [firewall_rules]=40000
  [root_description]=8192 [name_value]=8192 [port_listing]=8192 [ssdp_reply]=2048
)
targets=${FUZZ_TARGETS:-$(ls "$corpus")}
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in $targets; do
  [ -x "$dir/$target" ] || die "no fuzz target $target in build/fuzz"
  if [ "$mode" = replay ]; then
    find "$corpus/$target" -type f -print0 | xargs -0 -r "$dir/$target" >"$dir/$target.log" 2>&1 ||
      die "fuzz target $target fails on its corpus: see build/fuzz/$target.log"
    note "$target: $(find "$corpus/$target" -type f | wc -l) inputs replayed"
  else
    mkdir -p "$dir/corpus/$target" "$dir/findings"
    "$dir/$target" -max_total_time="${FUZZ_SECONDS:-60}" -max_len="${max_len[$target]}" -print_final_stats=1 \
      -artifact_prefix="$dir/findings/$target-" "$dir/corpus/$target" "$corpus/$target" >"$dir/$target.log" 2>&1 ||
      die "fuzz target $target found a fault: see build/fuzz/$target.log and build/fuzz/findings"
    note "$target: $(grep -a -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$dir/$target.log" | tail -n 1)"
  fi
done
