#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a fixed time, one per core
# side by side, starting from its seed corpus in tests/fuzz/corpus/<target>/.
# Fails when a target crashes, leaks or breaks one of its properties (the
# others still run to their end); the input that did it is left in
# build/fuzz/findings/.
#   scripts/fuzz.sh              # 20 seconds per target
#   scripts/fuzz.sh 300          # 5 minutes per target
#   scripts/fuzz.sh --build-only # builds them, runs nothing
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
if ! [[ $seconds =~ ^[1-9][0-9]*$ || $seconds == --build-only ]]; then
  echo "usage: scripts/fuzz.sh [seconds per target | --build-only]" >&2
  exit 2
fi
targets=(shell_fuzz utf8_fuzz host_probe_fuzz archive_fuzz records_fuzz command_fuzz)
jobs=$(nproc 2>/dev/null || echo 2)

echo "=== preset fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${jobs}"
if [[ $seconds == --build-only ]]; then exit 0; fi

build=build/fuzz
findings=${build}/findings
mkdir -p "${findings}"

# Runs one target for the time given; its output goes to its log.
run_target() {
  local target=$1
  local seeds=tests/fuzz/corpus/${target%_fuzz}
  # New inputs go to a scratch corpus; the seeds in the tree stay as they are.
  local work=${build}/corpus/${target}
  mkdir -p "${work}"
  "${build}/bin/${target}" -max_total_time="${seconds}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="${findings}/${target}-" "${work}" "${seeds}" \
    >"${build}/${target}.log" 2>&1
}

# The targets run side by side, one per core (each fuzzer uses one).
declare -A running=()
failed=()
finish_one() {
  local pid
  wait -n -p pid "${!running[@]}" && status=0 || status=$?
  local target=${running[$pid]}
  unset "running[$pid]"
  if ((status != 0)); then
    tail -n 60 "${build}/${target}.log"
    failed+=("${target}")
  else
    echo "=== ${target}: $(grep -E '^Done ' "${build}/${target}.log" || echo done)"
  fi
}
echo "=== ${#targets[@]} targets, ${seconds} s each, ${jobs} at a time"
for target in "${targets[@]}"; do
  while ((${#running[@]} >= jobs)); do finish_one; done
  run_target "${target}" &
  running[$!]=${target}
done
while ((${#running[@]} > 0)); do finish_one; done
if ((${#failed[@]} > 0)); then
  echo "=== ${failed[*]} failed; the inputs are in ${findings}/" >&2
  exit 1
fi
echo "=== every fuzz target ran ${seconds} s without a finding"
