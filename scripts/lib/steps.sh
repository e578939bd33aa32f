# Times the named steps of a script and prints them as a table. Sourced by
# scripts/test.sh and .ci/run; a script started by another shares its
# table through TAVOREN_STEP_TIMES, so the outermost prints every step.
#   step "<name>" <command...>   runs the command, records its time and
#                                exit status, and passes the status on
#   print_step_table             prints the table (outermost script only)

if [[ -z ${TAVOREN_STEP_TIMES:-} ]]; then
  TAVOREN_STEP_TIMES=$(mktemp "${TMPDIR:-/tmp}/tavoren-steps.XXXXXX")
  export TAVOREN_STEP_TIMES
  tavoren_steps_owner=1
  tavoren_steps_start=$SECONDS
fi

step() {
  local name=$1
  shift
  local start=$SECONDS rc=0
  "$@" || rc=$?
  printf '%s\t%s\t%s\n' "${name}" "$((SECONDS - start))" "${rc}" >>"${TAVOREN_STEP_TIMES}"
  return "${rc}"
}

print_step_table() {
  [[ -n ${tavoren_steps_owner:-} && -s ${TAVOREN_STEP_TIMES} ]] || return 0
  local name seconds rc
  echo "=== step times"
  printf '%-44s %8s  %s\n' "step" "seconds" "status"
  while IFS=$'\t' read -r name seconds rc; do
    printf '%-44s %8s  %s\n' "${name}" "${seconds}" "$([[ ${rc} == 0 ]] && echo ok || echo "failed (${rc})")"
  done <"${TAVOREN_STEP_TIMES}"
  printf '%-44s %8s\n' "all (wall clock)" "$((SECONDS - tavoren_steps_start))"
  rm -f "${TAVOREN_STEP_TIMES}"
}
