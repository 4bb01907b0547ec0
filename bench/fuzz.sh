#!/usr/bin/env bash
# Fuzzes the launcher's whole run in the simulated Windows for SECONDS (default 60), then prints
# executions, speed, coverage, corpus size and findings. Builds build/fuzz with clang-14 and
# writes the seed corpus first. The corpus in build/fuzz/corpus is kept, so each run goes on
# from the last; findings go to build/fuzz/findings/<time>/. Exit status 1 when the run found
# anything, 2 when the fuzzer could not be built.
#
#   bench/fuzz.sh 1800    a 30-minute run
#   bench/fuzz.sh 30      the short bounded run of the fuzz_smoke test
set -euo pipefail

seconds=${1:-60}
case $seconds in '' | *[!0-9]*) echo "usage: bench/fuzz.sh [SECONDS]" >&2; exit 2 ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
mkdir -p "$build"

if ! { CC=clang-14 CXX=clang++-14 cmake -S "$root/tests/fuzz" -B "$build" &&
       cmake --build "$build" -j2; } >"$build/build.log" 2>&1; then
  tail -30 "$build/build.log" >&2
  echo "fuzz: build failed (full log: $build/build.log)" >&2
  exit 2
fi

rm -rf "$build/seeds"
mkdir -p "$build/seeds" "$build/corpus"
"$build/fuzz_seeds" "$build/seeds" >/dev/null
findings=$build/findings/$(date +%Y%m%d-%H%M%S)
mkdir -p "$findings"
log=$findings/fuzz.log

# One process: the machine is shared. Heap-hungry packages end in the launcher's
# out-of-memory exit at the simulation's heap limit, well below -rss_limit_mb. Allocation
# stacks are kept short, which makes the run faster; running the fuzzer on a finding by hand
# gives the full ones.
status=0
ASAN_OPTIONS=detect_leaks=1:malloc_context_size=10 UBSAN_OPTIONS=print_stacktrace=1 \
  "$build/launcher_fuzzer" "$build/corpus" "$build/seeds" \
  -dict="$root/tests/fuzz/launcher.dict" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
  -detect_leaks=1 -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$findings/" >"$log" 2>&1 || status=$?

stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
last=$(grep -E 'cov: [0-9]+' "$log" | tail -1 || true)
cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9A-Za-z]*\).*/\1/p' <<<"$last")
mapfile -t found < <(find "$findings" -maxdepth 1 -type f \
  \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \
     -o -name 'slow-unit-*' \) | sort)

echo "fuzz: ${seconds} s, libFuzzer status $status"
echo "  executions:   $(stat number_of_executed_units)"
echo "  exec/s:       $(stat average_exec_per_sec)"
echo "  coverage:     cov $cov, ft $ft"
echo "  corpus:       $corp (files/bytes; $(ls "$build/corpus" | wc -l) files in $build/corpus)"
echo "  new units:    $(stat new_units_added)"
echo "  peak RSS:     $(stat peak_rss_mb) MB"
echo "  findings:     ${#found[@]}"
for f in "${found[@]}"; do echo "    $f"; done
if [ "${#found[@]}" -gt 0 ] || [ "$status" -ne 0 ]; then
  grep -E -m1 -A4 '^==== launcher fuzz rule broken|^==[0-9]+==ERROR|runtime error' "$log" || true
  echo "  reproduce:    LAUNCHER_FUZZ_TRACE=1 $build/launcher_fuzzer ${found[0]:-<finding>}"
  echo "  log:          $log"
  exit 1
fi
echo "  log:          $log"
