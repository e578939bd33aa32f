#!/usr/bin/env bash
# Builds the Debian packages (tavoren-agent, tavoren-backend and the
# tavoren-common libraries they share) with CPack from a build folder,
# checks them with lintian (no errors allowed), installs them with dpkg,
# runs the installed programs, verifies the units with systemd-analyze, and
# removes them again. Needs root (dpkg); continuous integration runs it
# once the plain build's tests have passed, reusing their build folder.
#   scripts/package-check.sh [BUILD_FOLDER]     # default build/default
# The build folder is configured with -DCMAKE_INSTALL_PREFIX=/usr (the
# units name the installed programs); nothing is compiled again for it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
packages=(tavoren-agent tavoren-backend tavoren-common)

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
removing=0
cleanup() {
  if ((removing)); then "${sudo_cmd[@]}" dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT

echo "=== packages: build"
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr \
  -DTAVOREN_SYSTEMD_UNIT_DIR=/usr/lib/systemd/system >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target tavoren-agent tavoren-backend \
  tavoren_changelog tavoren_manuals >/dev/null
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
mapfile -t debs < <(ls "$build"/packages/*.deb)
((${#debs[@]} == 3)) || { echo "expected 3 packages, got: ${debs[*]}" >&2; exit 1; }

echo "=== packages: lintian"
# Errors fail the check; warnings are shown.
lintian --fail-on error --suppress-tags no-manual-page "${debs[@]}"

echo "=== packages: install, run, verify, remove"
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    echo "$p is installed on this machine already: not touching it" >&2
    exit 1
  fi
done
removing=1
"${sudo_cmd[@]}" dpkg -i "${debs[@]}" >/dev/null
tavoren-agent --help >/dev/null
tavoren-agent run --help >/dev/null
tavoren-backend --help >/dev/null
tavoren-backend serve --help >/dev/null
[[ $(tavoren-agent --version) == "tavoren-agent "* ]]
[[ -d /var/lib/tavoren && -d /var/lib/tavoren-backend ]]
[[ $(stat -c %a /etc/default/tavoren-agent) == 600 ]]
dpkg-query -W -f='${Conffiles}\n' tavoren-agent | grep -q /etc/default/tavoren-agent
if command -v systemd-analyze >/dev/null 2>&1; then
  for unit in tavoren-agent tavoren-backend; do
    output=$(systemd-analyze verify "/usr/lib/systemd/system/$unit.service" 2>&1) || {
      echo "systemd-analyze verify $unit: $output" >&2
      exit 1
    }
    if grep -q "$unit.service" <<<"$output"; then
      echo "systemd-analyze verify $unit complains: $output" >&2
      exit 1
    fi
  done
  # The units' sandboxing, as systemd scores it (0 best, 100 worst): the
  # server has no reason to touch the host; the agent drives the engine and
  # the GPUs.
  for unit_limit in tavoren-backend:20 tavoren-agent:55; do
    unit=${unit_limit%%:*}
    systemd-analyze security --offline=true --threshold="${unit_limit#*:}" \
      "/usr/lib/systemd/system/$unit.service" >/dev/null || {
      echo "$unit.service is exposed beyond ${unit_limit#*:}:" >&2
      systemd-analyze security --offline=true "/usr/lib/systemd/system/$unit.service" >&2
      exit 1
    }
  done
else
  echo "note: systemd-analyze is not installed; the units were not verified"
fi
owner=$(stat -c %U:%a /var/lib/tavoren-backend)
[[ $owner == tavoren:700 ]] || { echo "/var/lib/tavoren-backend is $owner, not tavoren:700" >&2; exit 1; }
"${sudo_cmd[@]}" dpkg --purge "${packages[@]}" >/dev/null
removing=0
for path in /usr/bin/tavoren-agent /usr/bin/tavoren-backend /var/lib/tavoren /etc/default/tavoren-agent; do
  [[ ! -e $path ]] || { echo "$path is left after purging" >&2; exit 1; }
done
echo "=== packages: all checks passed (${debs[*]##*/})"
