#!/usr/bin/env bash
# Installs, only when missing, the Debian packages of one set. Safe to run
# again and again.
#   scripts/setup.sh run    what the main job (scripts/run-sample.sh) builds
#                           and runs: both presets configured and built
#   scripts/setup.sh test   that, and what only the tests use (scripts/test.sh):
#                           clang for the fuzz targets, the emulated machine
#                           (the default)
set -euo pipefail
# Everything this prints, apt's and dpkg's output included, goes to standard
# error: scripts/run-sample.sh > events.jsonl must hold events only.
exec >&2

run_packages=(
  cmake ninja-build g++                       # the native build
  googletest libgtest-dev libgmock-dev        # unit tests: both presets configure them (sources also build for win32)
  libbenchmark-dev                            # benchmarks: the native preset configures them
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686  # the win32 cross build (win32 thread model)
  nlohmann-json3-dev                          # JSON in the replay tool
  python3                                     # the binary check of qelevent.dll, the benchmark summary (configured by both presets)
)
test_packages=(
  clang libclang-rt-14-dev                    # libFuzzer and the sanitizer runtimes
  qemu-system-x86 debootstrap e2fsprogs       # the emulated machine that runs the win32 tests (scripts/winevm)
)

case "${1:-test}" in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *)
    echo "setup: usage: scripts/setup.sh [run|test] (not $1)"
    exit 2
    ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
