#!/usr/bin/env bash
# The manual pages and bash completions say what the programs' --help says:
# every command and every option each help text names is in the manual page
# and in the completion, --version names the project's version, and the
# manual pages render without warnings.
#   check-manuals.sh AGENT BACKEND SOURCE_DIR VERSION
set -euo pipefail
agent=$1 backend=$2 source=$3 version=$4
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The options a help text names, one per line.
options_of() { grep -oE -- '--[a-z][a-z-]*' | sort -u; }

check() { # program manual completion command...
  local program=$1 manual=$2 completion=$3
  shift 3
  local page help
  page=$(sed 's/\\-/-/g' "$manual")
  help=$("$program" "$@" --help) || fail "$program $* --help failed"
  for word in "$@"; do
    grep -qw -- "$word" <<<"$page" || fail "$manual does not name the command $word"
    grep -qw -- "$word" "$completion" || fail "$completion does not name the command $word"
  done
  while read -r option; do
    [[ -z $option ]] && continue
    grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" <<<"$page" ||
      fail "$manual lacks $option of '$(basename "$program") $*'"
    grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" "$completion" ||
      fail "$completion lacks $option of '$(basename "$program") $*'"
  done < <(options_of <<<"$help")
}

agent_page=$source/packaging/man/tavoren-agent.1
backend_page=$source/packaging/man/tavoren-backend.8
agent_completion=$source/packaging/completion/tavoren-agent
backend_completion=$source/packaging/completion/tavoren-backend
for command in run submit list show logs scale-down config; do
  check "$agent" "$agent_page" "$agent_completion" "$command"
done
check "$backend" "$backend_page" "$backend_completion" serve
for command in create list revoke transport reseal; do
  check "$backend" "$backend_page" "$backend_completion" keys "$command"
done

[[ $("$agent" --version) == "tavoren-agent $version" ]] || fail "tavoren-agent --version"
[[ $("$backend" --version) == "tavoren-backend $version" ]] || fail "tavoren-backend --version"

for completion in "$agent_completion" "$backend_completion"; do
  bash -n "$completion" || fail "$completion is not valid bash"
done
if command -v man >/dev/null 2>&1; then
  for page in "$agent_page" "$backend_page"; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=all -l "$page" 2>&1 >/dev/null) || true
    [[ -z $warnings ]] || fail "$page renders with warnings: $warnings"
  done
fi

((failures == 0)) || exit 1
echo "manual pages and completions match the programs' help"
