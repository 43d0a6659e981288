#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Idempotent: apt-get runs only when a package is missing.
#   scripts/install-deps.sh          build and run
#   scripts/install-deps.sh --test   also the test database servers and tools
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-dev zlib1g-dev libfmt-dev libsqlite3-dev libsqlcipher-dev
  libpq-dev libmariadb-dev firebird-dev unixodbc-dev
  libpq5 libmariadb3 libfbclient2 libodbc2
)
if [[ "${1:-}" == "--test" ]]; then
  packages+=(
    libgtest-dev libgmock-dev curl sqlite3
    postgresql-15 mariadb-server firebird3.0-server firebird3.0-utils
    unixodbc odbc-postgresql
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-upgrade "${missing[@]}" >/dev/null
