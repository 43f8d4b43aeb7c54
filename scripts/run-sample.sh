#!/usr/bin/env bash
# The main job: build both presets. (The replay tool on the bundled sample
# installation takes over this script once it exists.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in win32 native; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done
