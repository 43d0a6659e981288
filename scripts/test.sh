#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer (warnings are errors) into build-test/, starts
# the test database servers, runs the tests through ctest and stops the
# servers it started.
#
#   scripts/test.sh           every test
#   scripts/test.sh --quick   every test but those labelled slow (the
#                             100,000-row and 256 MiB cases)
#
# Further arguments after the options go to ctest, e.g. `-L unit` or
# `-R dbaccess`.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

ctest_args=()
if [[ ${1:-} == --quick ]]; then
  ctest_args+=(-LE slow)
  shift
fi
ctest_args+=("$@")

scripts/install-deps.sh --test

# -Og: the optimisations that keep the sanitizers' reports readable, at about
# two thirds of -O1's compile time. -g1: line tables only, enough for
# symbolised stack traces with line numbers, and much less for the compiler
# and linker to write.
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTANDEMIZE_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS_DEBUG="-Og -g1" >/dev/null

# The servers start while the build runs (they mostly wait on their disks);
# whatever happens next, they are stopped once their start has ended.
scripts/test-databases.sh start >build-test/test-databases.log 2>&1 &
servers=$!
trap 'wait "$servers" 2>/dev/null || true; "$root/scripts/test-databases.sh" stop' EXIT
cmake --build build-test -j "$(nproc)"
if ! wait "$servers"; then
  cat build-test/test-databases.log >&2
  exit 1
fi
cat build-test/test-databases.log
# shellcheck disable=SC1091
source "$root/build-test/test-databases.env"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir build-test --output-on-failure -j "$(nproc)" --timeout 1200 "${ctest_args[@]}"
