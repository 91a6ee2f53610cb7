#!/bin/sh
# Installs what is missing, builds both targets and runs every test of both, then runs the
# fuzz targets for a short while.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in native windows; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
scripts/fuzz-smoke.sh
