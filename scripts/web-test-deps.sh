#!/usr/bin/env bash
# Installs what the browser check of the operator's pages
# (tests/web/browser_check.mjs) needs besides Chromium, at the major versions
# pinned below, from npm into DIR (DIR/node_modules):
#   playwright-core  drives the browser; it brings no browser and downloads
#                    none: the check drives the system's Chromium
#                    (scripts/install-deps.sh installs it)
#   axe-core         the accessibility rules the check runs in each page
#   scripts/web-test-deps.sh DIR
# Safe to run again: quiet, and installs nothing, when every package is in
# DIR at its pinned major. Needs npm. Time limit: 300 s for the installation.
set -euo pipefail

if (($# != 1)); then
  echo "usage: scripts/web-test-deps.sh DIR" >&2
  exit 2
fi
dir=$1
# package@major, one each.
wanted=(playwright-core@1 axe-core@4)

# The major version of the package installed in DIR, read from its
# package.json; fails when the package is not there.
installed_major() {
  local manifest=$dir/node_modules/$1/package.json
  [[ -f $manifest ]] || return 1
  node -e 'const fs = require("fs");
process.stdout.write(String(JSON.parse(fs.readFileSync(process.argv[1], "utf8")).version).split(".")[0])' \
    "$manifest"
}

# The wanted packages that are missing from DIR or at another major.
missing() {
  local package_at
  for package_at in "${wanted[@]}"; do
    if [[ $(installed_major "${package_at%@*}" 2>/dev/null || true) != "${package_at##*@}" ]]; then
      echo "$package_at"
    fi
  done
}

todo=$(missing)
if [[ -z $todo ]]; then
  exit 0
fi

if ! command -v npm >/dev/null; then
  echo "web-test-deps: npm is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

mkdir -p "$dir"
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
# All of them in one run: with --no-save, a later run of npm would remove
# what an earlier one put there without recording it.
if ! timeout 300 npm install --prefix "$dir" --no-audit --no-fund --no-save --loglevel=error \
  "${wanted[@]}" >/dev/null; then
  echo "web-test-deps: npm could not install ${wanted[*]} into $dir" >&2
  exit 1
fi
still=$(missing)
if [[ -n $still ]]; then
  echo "web-test-deps: not in $dir after npm ran: ${still//$'\n'/ }" >&2
  exit 1
fi
echo "web-test-deps: ${todo//$'\n'/ } installed into $dir"
