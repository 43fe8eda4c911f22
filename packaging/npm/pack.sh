#!/usr/bin/env bash
# packaging/npm/pack.sh OUT_DIR: packs the npm packages into OUT_DIR/npm/ from the bridges in
# OUT_DIR/<platform>/quelt_local_pty: one package per prebuilt platform and the client,
# quelt-local-pty, which depends on all of them. Builds the client first; needs node and npm.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 OUT_DIR" >&2
  exit 2
fi
out=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
client=$here/../../clients/node

# npm ci reinstalls everything, so only when node_modules is missing or older than the lock.
if [ ! -f "$client/node_modules/.package-lock.json" ] ||
    [ "$client/package-lock.json" -nt "$client/node_modules/.package-lock.json" ]; then
  (cd "$client" && npm ci --no-audit --no-fund)
fi
(cd "$client" && npm run --silent build)
exec node "$here/pack.mjs" "$out"
