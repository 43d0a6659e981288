#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Idempotent: apt-get runs only when a package is missing, npm only when the
# OpenAPI validator is missing or its lock file changed.
#   scripts/install-deps.sh          build and run
#   scripts/install-deps.sh --test   also the test database servers and tools,
#                                    node and npm when missing, and the OpenAPI
#                                    validator (tools/openapi, pinned by its
#                                    package-lock.json)
#   scripts/install-deps.sh --bench  also what scripts/bench.sh needs (wrk, nginx,
#                                    the benchmark libraries, profilers)
#   scripts/install-deps.sh --deploy also what scripts/test-deploy.sh needs (nginx,
#                                    openssl, curl, psql)
# Options combine: scripts/install-deps.sh --test --bench
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

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
      # Any node 18 or later serves the OpenAPI validator; one that came
      # from elsewhere than Debian may bring its own npm.
      command -v node >/dev/null || packages+=(nodejs)
      command -v npm >/dev/null || packages+=(npm)
      openapi_validator=1
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
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  # RUNLEVEL=1 keeps package scripts from starting system services (nginx would
  # otherwise take port 80); the benchmark runs its own from a config in bench/.
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 apt-get install -y -qq --no-upgrade "${missing[@]}" >/dev/null
fi

# The OpenAPI validator, from the npm registry into tools/openapi/node_modules
# exactly as package-lock.json pins it; installed again only when the lock
# file changed. No install scripts run: the validator needs none.
if [[ -n ${openapi_validator:-} ]]; then
  tool=$root/tools/openapi
  lock_sum=$(sha256sum <"$tool/package-lock.json")
  if [[ ! -x $tool/node_modules/.bin/spectral ]] ||
     [[ $(cat "$tool/node_modules/.lock-sum" 2>/dev/null) != "$lock_sum" ]]; then
    echo "Installing the OpenAPI validator into $tool/node_modules"
    npm ci --prefix "$tool" --ignore-scripts --no-audit --no-fund --no-update-notifier \
      --loglevel=error >/dev/null
    echo "$lock_sum" >"$tool/node_modules/.lock-sum"
  fi
fi
