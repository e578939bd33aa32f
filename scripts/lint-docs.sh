#!/usr/bin/env bash
# Lints the protocol's OpenAPI document (docs/backend-api.yaml) with two
# independent linters: Redocly CLI with its recommended rules
# (docs/redocly.yaml) and Spectral with its OpenAPI ruleset
# (docs/openapi-rules.yaml). Any error of either fails the run; warnings are
# shown. Continuous integration runs it once the plain build's tests pass.
#   scripts/lint-docs.sh
# The linters, at the versions pinned below, are installed from npm into
# TAVOREN_DOC_LINT_DIR (default .cache/doc-lint, ignored by git) when
# missing, and kept there for the next run. They need Node.js 20.19 or
# later; when the system's Node.js is older, a pinned Node.js is installed
# from npm beside them. Needs npm. Telemetry of the linters is turned off.
# Time limits: 180 s for the installation, 60 s for each linter; a run with
# the linters installed takes about 10 s.
set -euo pipefail
cd "$(dirname "$0")/.."

redocly_version=2.77.0
spectral_version=6.16.3
node_version=22.12.0
tools=${TAVOREN_DOC_LINT_DIR:-.cache/doc-lint}
document=docs/backend-api.yaml

export REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_NOTIFICATIONS=true SCARF_ANALYTICS=false DO_NOT_TRACK=1
# Deprecations inside the linters are theirs to mend, not this document's.
export NODE_OPTIONS=--no-deprecation

# Whether the Node.js on PATH runs Redocly CLI: 20.19 or later.
node_is_recent() {
  local version major minor
  version=$(node --version 2>/dev/null) || return 1
  version=${version#v}
  major=${version%%.*}
  minor=${version#*.}
  minor=${minor%%.*}
  ((major > 20 || (major == 20 && minor >= 19)))
}

if ! command -v npm >/dev/null; then
  echo "lint-docs: npm is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

packages=("@redocly/cli@${redocly_version}" "@stoplight/spectral-cli@${spectral_version}")
if ! node_is_recent; then packages+=("node@${node_version}"); fi
stamp="${tools}/installed"
if [[ ! -f ${stamp} || $(cat "${stamp}") != "${packages[*]}" ]]; then
  echo "=== document lint: installing ${packages[*]} into ${tools}"
  mkdir -p "${tools}"
  timeout 180 npm install --prefix "${tools}" --no-audit --no-fund --save-exact --loglevel=error \
    "${packages[@]}" >/dev/null
  printf '%s' "${packages[*]}" >"${stamp}"
fi
# The pinned Node.js, when one was installed, comes first.
PATH="$(cd "${tools}" && pwd)/node_modules/.bin:${PATH}"
if ! node_is_recent; then
  echo "lint-docs: Node.js $(node --version 2>/dev/null || echo none) is too old for Redocly CLI" >&2
  exit 1
fi

failed=0
echo "=== document lint: redocly ${redocly_version}"
timeout 60 redocly lint --config docs/redocly.yaml "${document}" || failed=1
echo "=== document lint: spectral ${spectral_version}"
timeout 60 spectral lint --ruleset docs/openapi-rules.yaml --fail-severity error "${document}" || failed=1
if ((failed)); then
  echo "lint-docs: ${document} has errors" >&2
  exit 1
fi
echo "lint-docs: ${document} passes both linters"
