#!/usr/bin/env bash
# Installs, only when missing, every Debian package that the builds, tests and
# tools need. Safe to run again and again.
set -euo pipefail
# Everything this prints, apt's and dpkg's output included, goes to standard
# error: scripts/run-sample.sh > events.jsonl must hold events only.
exec >&2

packages=(
  cmake ninja-build g++                       # the native build
  clang libclang-rt-14-dev                    # libFuzzer and the sanitizer runtimes
  googletest libgtest-dev libgmock-dev        # unit tests (sources also build for win32)
  libbenchmark-dev                            # benchmarks
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686  # the win32 cross build (win32 thread model)
  nlohmann-json3-dev                          # JSON in the replay tool
  python3                                     # the binary check of qelevent.dll, the benchmark summary
  qemu-system-x86 debootstrap e2fsprogs       # the emulated machine that runs the win32 tests (scripts/winevm)
)

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
