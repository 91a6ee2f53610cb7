#!/bin/sh
# Builds the fuzz preset and runs every fuzz target for a short while over its committed
# corpus; new inputs go to a scratch folder, so the committed corpus stays as it is.
#   scripts/fuzz-smoke.sh [seconds per target, default 30]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for corpus in fuzz/corpus/*/; do
  name=$(basename "$corpus")
  scratch="build/fuzz/scratch/$name"
  log="build/fuzz/$name.log"
  rm -rf "$scratch"
  mkdir -p "$scratch"
  echo "fuzzing $name for ${seconds}s"
  status=0
  nice "build/fuzz/fuzz/${name}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build/fuzz/ "$scratch" "$corpus" >"$log" 2>&1 || status=$?
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz target $name failed (exit $status); the input is in build/fuzz/" >&2
    exit 1
  fi
done
