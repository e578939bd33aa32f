#!/usr/bin/env bash
# Installs the build into a staging folder (DESTDIR) and checks what a
# Debian operator finds there: the program runs from its installed place
# with its libraries found through its run path (never the build folder),
# and the systemd unit starts that program and stops it in a bounded time.
#   check-install.sh BUILD PREFIX BINDIR LIBDIR UNITDIR INCLUDEDIR DOCDIR
set -euo pipefail
build=$1 prefix=$2 bindir=$3 libdir=$4 unitdir=$5 includedir=$6 docdir=$7

staging=$(mktemp -d "${TMPDIR:-/tmp}/tavoren-install-XXXXXX")
trap 'rm -rf "$staging"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

DESTDIR=$staging cmake --install "$build" >"$staging.log" 2>&1 || {
  cat "$staging.log" >&2
  rm -f "$staging.log"
  exit 1
}
rm -f "$staging.log"

root=$staging$prefix
program=$root/$bindir/tavoren-agent
unit=$staging$unitdir/tavoren-agent.service

[[ -x $program ]] || fail "no program at $program"
for library in tavoren_common tavoren_backend tavoren_engine host_probe workspace_fetch work_unit \
  job_dispatcher container_reaper prechecks tavoren_sqlite_store tavoren_action_store tavoren_metrics \
  tavoren_metrics_endpoint tavoren_http_server; do
  [[ -f $root/$libdir/lib$library.so ]] || fail "no library lib$library.so in $root/$libdir"
done
for header in tavoren/work_unit.h tavoren/backend.h tavoren/sqlite_store.h tavoren/engine.h \
  tavoren/action_store.h tavoren/common/process.h; do
  [[ -f $root/$includedir/$header ]] || fail "no header $header"
done
[[ -f $root/$docdir/tavoren-agent.default ]] || fail "no example settings file"
[[ -f $unit ]] || fail "no systemd unit at $unit"

# The run path is relative to the program, not the build folder.
if readelf -d "$program" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
  fail "the installed program still looks for libraries in the build folder"
fi
resolved=$(env -u LD_LIBRARY_PATH ldd "$program")
if grep -q "not found" <<<"$resolved"; then fail "unresolved libraries: $resolved"; fi
found=$(awk '$1 == "libwork_unit.so" { print $3 }' <<<"$resolved")
if [[ -z $found || $(realpath "$found") != $(realpath "$root/$libdir/libwork_unit.so") ]]; then
  fail "libwork_unit.so is not taken from the installed folder: $resolved"
fi

# The installed program works: help, and a round trip through a database.
env -u LD_LIBRARY_PATH "$program" --help >/dev/null || fail "tavoren-agent --help failed"
env -u LD_LIBRARY_PATH "$root/$bindir/tavoren-backend" serve --help >/dev/null ||
  fail "tavoren-backend serve --help failed"
db=$staging/state/agent.db
id=$(env -u LD_LIBRARY_PATH "$program" submit --backend "$db" --type data_import --image i:1) ||
  fail "installed submit failed"
env -u LD_LIBRARY_PATH "$program" list --backend "$db" | grep -q "^$id  data_import  queued" ||
  fail "installed list does not show the submitted action"

if [[ -f $unit ]]; then
  for line in "ExecStart=$prefix/$bindir/tavoren-agent run \$TAVOREN_AGENT_OPTIONS" \
    "Restart=on-failure" "KillSignal=SIGTERM" "KillMode=mixed" "TimeoutStopSec=60" \
    "StateDirectory=tavoren" "WorkingDirectory=/var/lib/tavoren" "WantedBy=multi-user.target" \
    "ExecReload=/bin/kill -HUP \$MAINPID" "RestartForceExitStatus=75" "Type=notify" "WatchdogSec=15min"; do
    grep -qxF "$line" "$unit" || fail "the unit lacks the line: $line"
  done
  # systemd's own check, against the staged program.
  if command -v systemd-analyze >/dev/null 2>&1; then
    mkdir -p "$staging/check"
    sed "s|^ExecStart=$prefix|ExecStart=$root|" "$unit" >"$staging/check/tavoren-agent.service"
    if ! output=$(systemd-analyze verify "$staging/check/tavoren-agent.service" 2>&1); then
      fail "systemd-analyze verify: $output"
    elif grep -q "tavoren-agent.service" <<<"$output"; then
      fail "systemd-analyze verify complains: $output"
    fi
  else
    echo "note: systemd-analyze is not installed; the unit was checked line by line only"
  fi
fi

if ((failures > 0)); then exit 1; fi
echo "installed layout checked under $root"
