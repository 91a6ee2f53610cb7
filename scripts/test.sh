#!/bin/sh
# Installs what is missing, builds both targets and runs every test of both, runs the main job
# both ways, then runs the fuzz targets for a short while.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in native windows; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
# The two suites run side by side: the Windows one spends most of its time waiting on Wine
# (each run at logon's 30 s, the retries before a box), the native one on the processors, which
# then build the fuzz targets. The native suite's report follows the Windows one's.
native_report=$(mktemp)
{
  ctest --preset native && cmake --preset fuzz >/dev/null && cmake --build --preset fuzz >/dev/null
} >"$native_report" 2>&1 &
native=$!
trap 'kill "$native" 2>/dev/null || true; rm -f "$native_report"' INT TERM
windows_status=0
ctest --preset windows || windows_status=$?
native_status=0
wait "$native" || native_status=$?
cat "$native_report"
rm -f "$native_report"
[ "$native_status" -eq 0 ] && [ "$windows_status" -eq 0 ] || exit 1
# The README's main job must still update its sample installation; its report is shown only
# when it fails. A failure box would wait for a click, hence the time limit.
report=$(mktemp)
for mode in --native --windows; do
  echo "main job $mode"
  timeout 600 scripts/main-job.sh "$mode" >"$report" 2>&1 || { cat "$report"; exit 1; }
done
rm -f "$report"
scripts/fuzz-smoke.sh
