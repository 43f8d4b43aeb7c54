#!/usr/bin/env bash
# Runs every libFuzzer target for a bounded time, under AddressSanitizer and
# UndefinedBehaviorSanitizer (the fuzz preset, clang).
#
#   scripts/fuzz.sh [seconds per target] [target...]
#
# Seconds default to $QEL_FUZZ_SECONDS or 60; targets to every fuzz/*_fuzz.cpp.
# Each target starts from its committed seeds in fuzz/corpus/<Unit>/; what it
# finds on the way is kept in build/fuzz/corpus/<Unit>/ for the next run. An
# input that breaks something is saved in build/fuzz/crashes/<Unit>/: once the
# fault is fixed, commit it under fuzz/corpus/<Unit>/ so that every test run
# replays it. Exits non-zero when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${QEL_FUZZ_SECONDS:-60}}
shift $(($# > 0 ? 1 : 0))
if (($#)); then
  units=("$@")
else
  units=()
  for source in fuzz/*_fuzz.cpp; do
    unit=$(basename "$source" _fuzz.cpp)
    units+=("$unit")
  done
fi

scripts/setup.sh test
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

# The properties target writes each input to a file: keep that in memory.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

failed=()
for unit in "${units[@]}"; do
  work=build/fuzz/corpus/$unit
  crashes=build/fuzz/crashes/$unit
  mkdir -p "$work" "$crashes"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$crashes/")
  [ -f "fuzz/dict/$unit.dict" ] && options+=(-dict="fuzz/dict/$unit.dict")
  echo "==== fuzz $unit for ${seconds}s"
  if ! build/fuzz/fuzz/qel_fuzz_"$unit" "${options[@]}" "$work" "fuzz/corpus/$unit" \
      >"build/fuzz/$unit.log" 2>&1; then
    failed+=("$unit")
    tail -n 40 "build/fuzz/$unit.log"
    echo "fuzz $unit: FOUND A FAULT; input saved in $crashes/"
  else
    grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' \
      "build/fuzz/$unit.log" || true
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: faults found by ${failed[*]} (logs in build/fuzz/<Unit>.log)"
  exit 1
fi
echo "fuzz: ${#units[@]} targets ran ${seconds}s each, nothing found"
