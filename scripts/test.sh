#!/usr/bin/env bash
# Builds the agent and runs the whole test suite under each preset given
# (default: the plain build, AddressSanitizer + UndefinedBehaviorSanitizer,
# then ThreadSanitizer).
# Fails on the first failing build or test.
#   scripts/test.sh                 # default, asan and tsan
#   scripts/test.sh tsan            # ThreadSanitizer only
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
if ((${#presets[@]} == 0)); then presets=(default asan tsan); fi
jobs=$(nproc 2>/dev/null || echo 2)

for preset in "${presets[@]}"; do
  echo "=== preset ${preset}: configure and build"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j "${jobs}"
  echo "=== preset ${preset}: tests"
  ctest --preset "${preset}" -j "${jobs}"
done
echo "=== all tests passed under: ${presets[*]}"
