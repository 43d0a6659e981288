#!/bin/sh
# Checks an OpenAPI description (by default docs/openapi.yaml) against the
# OpenAPI 3.1 schema and the rules in ruleset.yaml, with the validator that
# scripts/install-deps.sh --test installs into node_modules/ here. Exits
# non-zero when the document has an error or the validator is missing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
document=${1:-$here/../../docs/openapi.yaml}
validator=$here/node_modules/.bin/spectral
if ! command -v node >/dev/null 2>&1 || [ ! -x "$validator" ]; then
  echo "check.sh: no OpenAPI validator in $here/node_modules: run scripts/install-deps.sh --test" >&2
  exit 1
fi
exec "$validator" lint --ruleset "$here/ruleset.yaml" --fail-severity error "$document"
