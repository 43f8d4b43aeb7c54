#!/usr/bin/env bash
# Installs what is missing of the test set (the emulator included), builds
# every preset and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/setup.sh test

# win32 first: the native tests read the qelevent.dll it builds.
for preset in win32 native native-asan; do
  echo "==== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

# Every fuzz target for a bounded time under both sanitizers; a finding fails
# the run (the input is kept under build/fuzz/crashes/).
echo "==== fuzz: ${QEL_FUZZ_SECONDS:-60} s per target"
scripts/fuzz.sh "${QEL_FUZZ_SECONDS:-60}"

# The emulated x86-64 machine in which the win32 test programs run under Wine:
# built once per machine (about 20 minutes), reused from the cache after that.
echo "==== winevm: the machine image"
scripts/winevm/build-image.sh

# win32: the check of the built qelevent.dll, and every win32 test program and
# the test host under Wine, in one boot of that machine.
for preset in win32 native native-asan; do
  echo "==== $preset: tests"
  ctest --preset "$preset" -j "$jobs"
done

