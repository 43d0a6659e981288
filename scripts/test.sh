#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-test/, starts the test database
# servers, runs every test through ctest and stops the servers it started.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh --test

cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTANDEMIZE_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
cmake --build build-test -j "$(nproc)"

trap '"$root/scripts/test-databases.sh" stop' EXIT
scripts/test-databases.sh start
# shellcheck disable=SC1091
source "$root/build-test/test-databases.env"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir build-test --output-on-failure -j "$(nproc)" --timeout 600
