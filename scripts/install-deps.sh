#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Idempotent: apt-get runs only when a package is missing.
#   scripts/install-deps.sh          build and run
#   scripts/install-deps.sh --test   also the test database servers and tools
#   scripts/install-deps.sh --bench  also what scripts/bench.sh needs (wrk, nginx,
#                                    the benchmark libraries, profilers)
#   scripts/install-deps.sh --deploy also what scripts/test-deploy.sh needs (nginx,
#                                    openssl, curl, psql)
# Options combine: scripts/install-deps.sh --test --bench
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-dev libboost-program-options-dev libcrypt-dev zlib1g-dev libfmt-dev libicu-dev
  libsqlite3-dev libsqlcipher-dev
  libcli11-dev libcurl4-openssl-dev libcsv-dev
  libpq-dev libmariadb-dev firebird-dev unixodbc-dev
  libpq5 libmariadb3 libfbclient2 libodbc2
)
for option in "$@"; do
  case $option in
    --test)
      packages+=(
        libgtest-dev libgmock-dev curl sqlite3
        postgresql-15 mariadb-server firebird3.0-server firebird3.0-utils
        unixodbc odbc-postgresql
        libcli11-dev libcurl4-openssl-dev libcsv-dev
      )
      ;;
    --bench)
      packages+=(
        wrk nginx-light libbenchmark-dev nlohmann-json3-dev
        linux-perf valgrind heaptrack
      )
      ;;
    --deploy)
      packages+=(nginx-light openssl curl postgresql-client python3)
      ;;
    *) echo "install-deps: unknown option $option" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
# RUNLEVEL=1 keeps package scripts from starting system services (nginx would
# otherwise take port 80); the benchmark runs its own from a config in bench/.
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 apt-get install -y -qq --no-upgrade "${missing[@]}" >/dev/null
