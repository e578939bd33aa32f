#!/usr/bin/env bash
# Builds the agent and runs its tests under each preset given (default: the
# plain build, AddressSanitizer + UndefinedBehaviorSanitizer, then
# ThreadSanitizer), and prints each step's time at the end.
#
# The plain build runs everything: unit, end-to-end and slow tests. The
# sanitizer builds run the unit tests and the end-to-end tests of threads and
# child processes, not the slow fleet, soak and restart runs (labelled
# "slow"), which they do not build either.
#
# The presets are tested one after the other, but built ahead: while the
# first builds and its tests run, the next presets build in the background,
# one at a time, at the lowest CPU priority (nice 19). They take only the
# CPU the tests leave (a test waiting on a job, a timer or the engine), so
# the tests' timings are not disturbed and no core sits idle. Each build's
# output is printed when its tests come.
# Fails on the first failing build or test.
#   scripts/test.sh                 # default, asan and tsan
#   scripts/test.sh tsan            # ThreadSanitizer only
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/steps.sh
trap finish_steps EXIT

presets=("$@")
if ((${#presets[@]} == 0)); then presets=(default asan tsan); fi
jobs=$(nproc 2>/dev/null || echo 2)

# The assertions that failed, test by test, from CTest's log: printed last,
# beside the step table, where a log read from its end shows them.
failure_digest() {
  local log=$1/Testing/Temporary/LastTest.log
  [[ -f ${log} ]] || return 0
  echo "=== what failed"
  awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3 }
       /: Failure$/ { left = 5 }
       left > 0 && printed[name] < 40 { print name ": " substr($0, 1, 300); --left; ++printed[name] }
      ' "${log}"
}

build() {
  local preset=$1
  echo "=== preset ${preset}: configure and build"
  step "${preset}: configure" cmake --preset "${preset}" >/dev/null &&
    step "${preset}: build" cmake --build --preset "${preset}" -j "${jobs}"
}
# Builds a preset once the process given (the build before it) has ended.
build_after() {
  local before=$1 preset=$2
  while [[ -n ${before} ]] && kill -0 "${before}" 2>/dev/null; do sleep 1; done
  build "${preset}"
}
before=""
for ((i = 1; i < ${#presets[@]}; ++i)); do
  in_background "${presets[i]}: build #${i}" low build_after "${before}" "${presets[i]}"
  before=${tavoren_background_pids["${presets[i]}: build #${i}"]}
done

for ((i = 0; i < ${#presets[@]}; ++i)); do
  preset=${presets[i]}
  if ((i == 0)); then
    build "${preset}"
  else
    # A build takes 10 to 20 minutes here; twice that is a fault.
    await "${preset}: build #${i}" 2400
  fi
  labels=()
  if [[ ${preset} != default ]]; then labels=(-LE slow); fi
  echo "=== preset ${preset}: tests ${labels[*]}"
  step "${preset}: tests" ctest --preset "${preset}" -j "${jobs}" "${labels[@]}" ||
    {
      rc=$?
      failure_digest "build/${preset}"
      exit "${rc}"
    }
done
echo "=== all tests passed under: ${presets[*]}"
