#!/usr/bin/env bash
# Builds the agent and runs its tests under each preset given (default: the
# plain build, AddressSanitizer + UndefinedBehaviorSanitizer, then
# ThreadSanitizer), and prints each step's time at the end.
#
# The plain build runs everything: unit, end-to-end and slow tests. The
# sanitizer builds run the unit tests and the end-to-end tests of threads and
# child processes, not the slow fleet, soak and restart runs (labelled
# "slow"), which they do not build either.
# Fails on the first failing build or test.
#   scripts/test.sh                 # default, asan and tsan
#   scripts/test.sh tsan            # ThreadSanitizer only
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/steps.sh
trap print_step_table EXIT

presets=("$@")
if ((${#presets[@]} == 0)); then presets=(default asan tsan); fi
jobs=$(nproc 2>/dev/null || echo 2)

for preset in "${presets[@]}"; do
  labels=()
  if [[ ${preset} != default ]]; then labels=(-LE slow); fi
  echo "=== preset ${preset}: configure and build"
  step "${preset}: configure" cmake --preset "${preset}" >/dev/null
  step "${preset}: build" cmake --build --preset "${preset}" -j "${jobs}"
  echo "=== preset ${preset}: tests ${labels[*]}"
  step "${preset}: tests" ctest --preset "${preset}" -j "${jobs}" "${labels[@]}"
done
echo "=== all tests passed under: ${presets[*]}"
