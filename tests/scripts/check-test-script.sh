#!/usr/bin/env bash
# scripts/test.sh's order of work, with stand-in cmake and ctest first on
# PATH: the first preset builds in the foreground, the later ones build
# ahead in the background at nice 19, one after the other; each preset's
# tests wait for its build; a failing build or test fails the run and stops
# the builds still running.
#   check-test-script.sh <source folder>
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
mkdir "${work}/bin"
# The stand-ins log "<tool> <preset> start <nice>" and "cmake <preset> end".
# A build takes 0.2 s, of the preset "long" 3 s; a build of "bad" fails, and
# so do the tests of "failing".
cat >"${work}/bin/cmake" <<'FAKE'
#!/usr/bin/env bash
[[ $1 == --build ]] || exit 0
preset=$3
echo "cmake ${preset} start $(ps -o ni= -p $$ | tr -d ' ')" >>"${TAVOREN_FAKE_LOG}"
sleep "$([[ ${preset} == long ]] && echo 3 || echo 0.2)"
[[ ${preset} != bad ]] || exit 3
echo "cmake ${preset} end" >>"${TAVOREN_FAKE_LOG}"
FAKE
cat >"${work}/bin/ctest" <<'FAKE'
#!/usr/bin/env bash
echo "ctest $2 start $(ps -o ni= -p $$ | tr -d ' ')" >>"${TAVOREN_FAKE_LOG}"
[[ $2 != failing ]] || exit 8
FAKE
chmod +x "${work}/bin/cmake" "${work}/bin/ctest"

log="${work}/log"
# The foreground runs at this script's own priority, whatever it is.
fg=$(ps -o ni= -p $$ | tr -d ' ')
failures=0
fail() {
  echo "FAILED: $*; the stand-ins' log:"
  cat "${log}"
  echo "--- scripts/test.sh's output:"
  cat "${work}/out"
  failures=$((failures + 1))
}
# run <expected status> <preset...>
run() {
  local expected=$1 status=0
  shift
  : >"${log}"
  # A table of its own, never that of a CI run that runs these tests.
  env -u TAVOREN_STEP_TIMES PATH="${work}/bin:${PATH}" TAVOREN_FAKE_LOG="${log}" \
    "${source_dir}/scripts/test.sh" "$@" >"${work}/out" 2>&1 || status=$?
  # A build left running would log its end by now.
  if ((status != 0)); then sleep 3.5; fi
  [[ ${status} == "${expected}" ]] || fail "scripts/test.sh $*: status ${status}, not ${expected}"
}
line_of() { grep -n -x -m1 -- "$1" "${log}" | cut -d: -f1 || true; }
# in_order <line> <line>: both logged, the first before the second.
in_order() {
  local first second
  first=$(line_of "$1")
  second=$(line_of "$2")
  [[ -n ${first} && -n ${second} && ${first} -lt ${second} ]] || fail "\"$1\" before \"$2\""
}
never() { if grep -q -x -- "$1" "${log}"; then fail "\"$1\" logged"; fi; }

run 0 default asan tsan
in_order "cmake default start ${fg}" "cmake default end"
in_order "cmake default end" "ctest default start ${fg}"
in_order "cmake asan start 19" "cmake asan end"
in_order "cmake asan end" "cmake tsan start 19"
in_order "cmake asan end" "ctest asan start ${fg}"
in_order "ctest default start ${fg}" "ctest asan start ${fg}"
in_order "cmake tsan end" "ctest tsan start ${fg}"
in_order "ctest asan start ${fg}" "ctest tsan start ${fg}"

# A later build fails: no further tests, and the build after it is stopped.
run 3 default bad long
in_order "cmake default end" "ctest default start ${fg}"
never "ctest bad start ${fg}"
never "ctest long start ${fg}"
never "cmake long end"

# The first preset's tests fail: the build ahead is stopped.
run 8 failing long
in_order "cmake failing end" "ctest failing start ${fg}"
never "cmake long end"
never "ctest long start ${fg}"
exit $((failures > 0))
