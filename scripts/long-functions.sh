#!/usr/bin/env bash
# Lists the functions of the system code (every folder but tests/, bench/
# and build outputs) longer than a limit, the longest first:
#
#   scripts/long-functions.sh [LIMIT] [FOLDER...]
#
# LIMIT defaults to 80 lines; each FOLDER named after it is left out too.
# A function that stays longer says why in a comment above it. Needs
# Universal Ctags; lambdas are listed on their own as __anon... entries.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${1:-80}
shift || true
prune=(-path ./tests -o -path ./bench -o -path './build*' -o -path ./.git)
for folder in "$@"; do prune+=(-o -path "./${folder%/}"); done
find . \( "${prune[@]}" \) -prune -o \( -name '*.cc' -o -name '*.h' \) -print |
  ctags -L - --languages=C++ --kinds-C++=f --fields=+ne -x --_xformat='%{end} %n %N %F' |
  awk -v limit="$limit" '$1 != "" && $1 - $2 + 1 > limit { print $1 - $2 + 1, $4 ":" $2, $3 }' |
  sort -rn
