#!/usr/bin/env bash
# scripts/lib/steps.sh's waits: a command started in the background runs
# only once the step it waits for has been recorded and passed, never after
# a failed one nor past its time limit; a wait for a background command
# stops it at its limit; a wait for a step that never comes ends with the
# run (finish_steps); a misspelt priority starts nothing.
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
in_background "after first" same after_step "first" 60 step "second" sh -c "echo second >>${log}"
in_background "after failed" same after_step "failed" 60 sh -c "echo after failed >>${log}"
in_background "after never" same after_step "never" 60 sh -c "echo after never >>${log}"
in_background "after renamed" same after_step "renamed" 1 sh -c "echo after renamed >>${log}"
in_background "hanging" same sleep 60
if in_background "misspelt" lwo sh -c "echo misspelt >>${log}"; then echo "misspelt: started" >>"${log}"; fi
step "first" sh -c "sleep 3; echo first >>${log}"
step "failed" false || true
await "after first" 60
if await "after failed" 60; then echo "after failed: passed" >>"${log}"; fi
if await "after renamed" 60; then echo "after renamed: passed" >>"${log}"; fi
await "hanging" 1 || echo "hanging: $?" >>"${log}"
SCRIPT
env -u TAVOREN_STEP_TIMES bash "${work}/script" "${source_dir}" "${work}/log" >"${work}/out" 2>&1 ||
  fail "the script failed"
# Its background commands would have logged by now.
sleep 3
[[ $(cat "${work}/log") == $'first\nsecond\nhanging: 124' ]] ||
  fail "logged: $(tr '\n' ' ' <"${work}/log")"
grep -q '^=== after never: stopped' "${work}/out" || fail "the wait for a step never run was not stopped"
grep -q '^=== not run: the step "renamed" was not recorded within 1 s$' "${work}/out" ||
  fail "the wait for a step past its limit did not say so"
grep -q '^hanging: waited  *[0-9]*  failed (124)$' "${work}/out" ||
  fail "the wait for a command past its limit is not in the table as stopped"
grep -q '^in_background: the priority of "misspelt" is "lwo"' "${work}/out" ||
  fail "a misspelt priority was not refused"
grep -q '^second  *0  ok$' "${work}/out" || fail "the step run after the wait is not in the table"
if ((failures > 0)); then exit 1; fi
echo "steps: all checks passed"
