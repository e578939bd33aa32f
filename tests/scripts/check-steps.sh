#!/usr/bin/env bash
# scripts/lib/steps.sh's after_step: a command started in the background
# runs only once the step it waits for has been recorded and passed, never
# after a failed one, and a wait for a step that never comes ends with the
# run (finish_steps).
#   check-steps.sh <source folder>
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
failures=0
fail() {
  echo "FAILED: $*; the script's output:"
  cat "${work}/out"
  failures=$((failures + 1))
}

# A script of its own, with a table of its own.
cat >"${work}/script" <<'SCRIPT'
set -euo pipefail
source "$1/scripts/lib/steps.sh"
trap finish_steps EXIT
log=$2
in_background "after first" same after_step "first" step "second" sh -c "echo second >>${log}"
in_background "after failed" same after_step "failed" sh -c "echo after failed >>${log}"
in_background "after never" same after_step "never" sh -c "echo after never >>${log}"
step "first" sh -c "sleep 3; echo first >>${log}"
step "failed" false || true
await "after first"
if await "after failed"; then echo "after failed: passed" >>"${log}"; fi
SCRIPT
env -u TAVOREN_STEP_TIMES bash "${work}/script" "${source_dir}" "${work}/log" >"${work}/out" 2>&1 ||
  fail "the script failed"
# Its background commands would have logged by now.
sleep 3
[[ $(cat "${work}/log") == $'first\nsecond' ]] || fail "logged: $(tr '\n' ' ' <"${work}/log")"
grep -q '^=== after never: stopped' "${work}/out" || fail "the wait for a step never run was not stopped"
grep -q '^second  *0  ok$' "${work}/out" || fail "the step run after the wait is not in the table"
if ((failures > 0)); then exit 1; fi
echo "after_step: all checks passed"
