#!/usr/bin/env bash
# Installs what is missing, builds the service (Release) into build/ and runs
# it in the foreground on port 9095.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDEMIZE_TESTS=OFF >/dev/null
cmake --build build --target Tandemize_srv
exec build/Tandemize_srv
