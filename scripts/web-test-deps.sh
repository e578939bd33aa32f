#!/usr/bin/env bash
# Installs what the browser check of the operator's pages
# (tests/web/browser_check.mjs) needs besides Chromium: playwright-core, at
# the major version pinned below, from npm into DIR (DIR/node_modules).
# playwright-core brings no browser and downloads none; the check drives the
# system's Chromium (scripts/install-deps.sh installs it).
#   scripts/web-test-deps.sh DIR
# Safe to run again: an installation already in DIR is kept. Needs npm.
# Time limit: 300 s for the installation.
set -euo pipefail

if (($# != 1)); then
  echo "usage: scripts/web-test-deps.sh DIR" >&2
  exit 2
fi
dir=$1
package=playwright-core
major=1

installed_major() {
  local manifest=$dir/node_modules/$package/package.json
  [[ -f $manifest ]] || return 1
  node -e 'const fs = require("fs");
process.stdout.write(String(JSON.parse(fs.readFileSync(process.argv[1], "utf8")).version).split(".")[0])' \
    "$manifest"
}

if [[ $(installed_major 2>/dev/null || true) == "$major" ]]; then
  exit 0
fi

if ! command -v npm >/dev/null; then
  echo "web-test-deps: npm is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

mkdir -p "$dir"
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
if ! timeout 300 npm install --prefix "$dir" --no-audit --no-fund --no-save --loglevel=error \
  "$package@$major" >/dev/null; then
  echo "web-test-deps: npm could not install $package@$major into $dir" >&2
  exit 1
fi
if [[ $(installed_major 2>/dev/null || true) != "$major" ]]; then
  echo "web-test-deps: $package@$major is not in $dir after npm ran" >&2
  exit 1
fi
echo "web-test-deps: $package@$major installed into $dir"
