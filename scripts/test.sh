#!/bin/sh
# Installs what is missing, builds both targets and runs every test of both, runs the main job
# both ways, then runs the fuzz targets for a short while.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in native windows; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
# The README's main job must still update its sample installation; its report is shown only
# when it fails. A failure box would wait for a click, hence the time limit.
report=$(mktemp)
for mode in --native --windows; do
  echo "main job $mode"
  timeout 600 scripts/main-job.sh "$mode" >"$report" 2>&1 || { cat "$report"; exit 1; }
done
rm -f "$report"
scripts/fuzz-smoke.sh
