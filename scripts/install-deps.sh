#!/usr/bin/env bash
# Installs every build, test and benchmark dependency of the agent from
# Debian's packages. Safe to run again: packages already present are skipped.
# prometheus brings promtool, which the tests use to read the programs'
# metrics; dpkg-dev, fakeroot and lintian build and check the packages.
# npm installs the linters of the protocol's documents (scripts/lint-docs.sh);
# a Node.js installed otherwise, npm included, is kept. chromium is the
# browser that tests/web/browser_check.mjs drives through the operator's
# pages (scripts/web-test-deps.sh installs its driver).
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config git ca-certificates
  libcurl4-openssl-dev libssl-dev openssl libzip-dev nlohmann-json3-dev
  libspdlog-dev libfmt-dev libhowardhinnant-date-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libsqlite3-dev libboost-dev
  clang-format clang-14 libclang-rt-14-dev lld coreutils curl unzip
  docker.io docker-registry busybox-static apache2-utils util-linux
  libpq-dev postgresql-15
  libsystemd-dev libcli11-dev
  prometheus
  dpkg-dev fakeroot lintian systemd
  chromium
)

if ! command -v npm >/dev/null; then packages+=(nodejs npm); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi

export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "install-deps: installed ${missing[*]}"
