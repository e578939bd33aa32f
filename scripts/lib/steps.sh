# shellcheck shell=bash
# Times the named steps of a script and prints them as a table. Sourced by
# scripts/test.sh and .ci/run; a script started by another shares its
# table through TAVOREN_STEP_TIMES, so the outermost prints every step.
#   step "<name>" <command...>   runs the command, records its time and
#                                exit status, and passes the status on
#   in_background "<name>" same|low|idle <command...>
#                                starts a command beside the others, at the
#                                same CPU priority or a lower one: "low"
#                                (nice 19) takes what the foreground leaves,
#                                "idle" (SCHED_IDLE) only what every other
#                                process leaves. A command with time limits
#                                of its own runs at the same priority. It
#                                records its own steps; its output waits in
#                                a log.
#   after_step "<step>" <seconds> <command...>
#                                runs the command once the step named has
#                                been recorded (by any script sharing the
#                                table) and passed; fails, running nothing,
#                                when it failed or was not recorded within
#                                the seconds given. For a command started in
#                                the background that must wait for a step of
#                                the foreground.
#   await "<name>" <seconds>     waits for it (recorded as the step "<name>:
#                                waited"), at most the seconds given, then
#                                stops it (status 124); prints its output
#                                and passes its status on
#   print_step_table             prints the table (outermost script only)
#   finish_steps                 for the EXIT trap: stops what still runs in
#                                the background (TERM, then KILL after 10 s),
#                                then prints the table

if [[ -z ${TAVOREN_STEP_TIMES:-} ]]; then
  TAVOREN_STEP_TIMES=$(mktemp "${TMPDIR:-/tmp}/tavoren-steps.XXXXXX")
  export TAVOREN_STEP_TIMES
  tavoren_steps_owner=1
  tavoren_steps_start=$SECONDS
fi
declare -A tavoren_background_pids=() tavoren_background_logs=()

step() {
  local name=$1
  shift
  local start=$SECONDS rc=0
  "$@" || rc=$?
  printf '%s\t%s\t%s\n' "${name}" "$((SECONDS - start))" "${rc}" >>"${TAVOREN_STEP_TIMES}"
  return "${rc}"
}

in_background() {
  local name=$1 priority=$2
  shift 2
  case ${priority} in
    same | low | idle) ;;
    *)
      echo "in_background: the priority of \"${name}\" is \"${priority}\", not same, low or idle" >&2
      return 2
      ;;
  esac
  local log
  log=$(mktemp "${TMPDIR:-/tmp}/tavoren-background.XXXXXX")
  # Its own process group, so that finish_steps stops all of it.
  set -m
  (
    case ${priority} in
      idle) chrt --idle --pid 0 "${BASHPID}" || true ;;
      low) renice -n 19 -p "${BASHPID}" >/dev/null || true ;;
    esac
    "$@"
  ) >"${log}" 2>&1 &
  tavoren_background_pids[${name}]=$!
  set +m
  tavoren_background_logs[${name}]=${log}
}

after_step() {
  local name=$1 limit=$2 rc start=$SECONDS
  shift 2
  # The status of the step's last record, once there is one.
  until rc=$(awk -F'\t' -v name="${name}" '$1 == name { rc = $3; found = 1 }
                END { if (found) print rc; exit !found }' "${TAVOREN_STEP_TIMES}"); do
    if ((SECONDS - start >= limit)); then
      echo "=== not run: the step \"${name}\" was not recorded within ${limit} s"
      return 1
    fi
    sleep 2
  done
  if [[ ${rc} != 0 ]]; then
    echo "=== not run: the step \"${name}\" failed (${rc})"
    return 1
  fi
  "$@"
}

# Waits for a background command (a child of this shell) at most `limit`
# seconds; past that, stops its process group and answers 124.
wait_at_most() {
  local limit=$1 pid=$2 start=$SECONDS
  while kill -0 "${pid}" 2>/dev/null; do
    if ((SECONDS - start >= limit)); then
      echo "=== stopped after ${limit} s"
      stop_group "${pid}"
      return 124
    fi
    sleep 1
  done
  wait "${pid}"
}

# Stops a background command's process group: TERM, then KILL if any of it
# is still there 10 s later; reaps it.
stop_group() {
  local pid=$1 start=$SECONDS
  kill -TERM -- "-${pid}" 2>/dev/null || true
  while kill -0 -- "-${pid}" 2>/dev/null && ((SECONDS - start < 10)); do sleep 0.2; done
  kill -KILL -- "-${pid}" 2>/dev/null || true
  wait "${pid}" 2>/dev/null || true
}

await() {
  local name=$1 limit=$2 rc=0
  step "${name}: waited" wait_at_most "${limit}" "${tavoren_background_pids[${name}]}" || rc=$?
  cat "${tavoren_background_logs[${name}]}"
  rm -f "${tavoren_background_logs[${name}]}"
  unset "tavoren_background_pids[${name}]" "tavoren_background_logs[${name}]"
  return "${rc}"
}

print_step_table() {
  [[ -n ${tavoren_steps_owner:-} && -s ${TAVOREN_STEP_TIMES} ]] || return 0
  local name seconds rc
  echo "=== step times"
  printf '%-56s %8s  %s\n' "step" "seconds" "status"
  while IFS=$'\t' read -r name seconds rc; do
    printf '%-56s %8s  %s\n' "${name}" "${seconds}" "$([[ ${rc} == 0 ]] && echo ok || echo "failed (${rc})")"
  done <"${TAVOREN_STEP_TIMES}"
  printf '%-56s %8s\n' "all (wall clock)" "$((SECONDS - tavoren_steps_start))"
  rm -f "${TAVOREN_STEP_TIMES}"
}

finish_steps() {
  local name
  for name in "${!tavoren_background_pids[@]}"; do
    stop_group "${tavoren_background_pids[${name}]}"
    echo "=== ${name}: stopped; its output:"
    cat "${tavoren_background_logs[${name}]}"
    rm -f "${tavoren_background_logs[${name}]}"
  done
  print_step_table
}
