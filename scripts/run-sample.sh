#!/usr/bin/env bash
# The main job: install what it builds and runs with (scripts/setup.sh run:
# not the emulator, which only the tests use), build the plug-in (win32) and
# the tool (native), then replay the bundled notifications on the sample
# installation and print every event the plug-in posts, one JSON line each;
# the summary follows on stderr.
# The event server answers 18 to the first post and 0 afterwards, so one
# post is retried after a (simulated) two-minute wait. Further arguments go
# to `qelevent-tool replay`, e.g. --lcid 0x0407.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh run

log=build/run-sample.log
mkdir -p build
: >"$log"
for preset in win32 native; do
  echo "run-sample: building the $preset preset (log: $log)" >&2
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)"; } >>"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "run-sample: the $preset build failed; the whole log is $log" >&2
    exit 1
  fi
done

exec build/native/tools/qelevent-tool replay --results 18,0 "$@" samples/notifications.jsonl
