#!/usr/bin/env bash
# Builds and runs the benchmarks, then prints the figures as a Markdown summary
# (also kept in build/bench/summary.md) and checks what must scale linearly and
# the replay's goals.
#
#   scripts/bench.sh [Google Benchmark options, e.g. --benchmark_filter=Utf8]
#
# Each benchmark runs $QEL_BENCH_REPETITIONS times (default 3); the summary
# takes the median CPU time. The replay benchmark runs qelevent-tool on the
# sample installation, whose qelevent.dll comes from the win32 build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh run
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$(nproc)" --target qelevent
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target qel_bench

mkdir -p build/bench
build/native/bench/qel_bench \
  --benchmark_repetitions="${QEL_BENCH_REPETITIONS:-3}" \
  --benchmark_report_aggregates_only=true \
  --benchmark_out=build/bench/results.json --benchmark_out_format=json "$@"
python3 bench/summary.py build/bench/results.json | tee build/bench/summary.md
