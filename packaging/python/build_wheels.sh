#!/usr/bin/env bash
# The Python client's (clients/python) wheels from a release directory of static bridges:
#
#   packaging/python/build_wheels.sh RELEASE_DIR [WHEEL_DIR]
#
# RELEASE_DIR holds <platform>/quelt_local_pty for every platform of packaging/platforms.json.
# Each becomes a py3-none-<tag> wheel with the bridge inside the package as an executable file
# (setup.py beside this script gives it its tag); a py3-none-any wheel carries none. The wheels go to WHEEL_DIR (default RELEASE_DIR/python).
# Builds with `python3 -m build --no-isolation`, so setuptools and wheel must be installed
# (Debian: python3-build python3-setuptools python3-wheel); QLP_PYTHON3 picks the interpreter.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 RELEASE_DIR [WHEEL_DIR]" >&2
  exit 2
fi
client=$(cd "$(dirname "$0")/../../clients/python" && pwd)
packaging=$(cd "$(dirname "$0")" && pwd)
table=$packaging/../platforms.json
release=$(cd "$1" && pwd)
out=${2:-$release/python}
python=${QLP_PYTHON3:-/usr/bin/python3}
[ -x "$python" ] || python=python3
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Every wheel is built from a fresh copy of the sources, so that no bridge and no build
# directory of one wheel can end up in another.
build_wheel() {
  local name=$1 bridge=$2 tag=$3
  local src=$work/$name
  mkdir -p "$src"
  cp "$client/pyproject.toml" "$client/README.md" "$src/"
  cp -R "$client/quelt_local_pty" "$src/"
  rm -rf "$src/quelt_local_pty/bin" "$src/quelt_local_pty/__pycache__"
  if [ -n "$bridge" ]; then
    cp "$packaging/setup.py" "$src/"
    mkdir "$src/quelt_local_pty/bin"
    cp "$bridge" "$src/quelt_local_pty/bin/quelt_local_pty"
    chmod 755 "$src/quelt_local_pty/bin/quelt_local_pty"
  fi
  if ! QLP_WHEEL_PLATFORM=$tag "$python" -m build --no-isolation --wheel --outdir "$out" "$src" \
      >"$work/$name.log" 2>&1; then
    cat "$work/$name.log" >&2
    echo "$0: building the $name wheel failed" >&2
    exit 1
  fi
}

# The platform table, and the client's copy of it, read without importing the package: a wheel
# whose lookup table disagrees with the wheels that exist would give wrong advice.
rows=$("$python" -c '
import json, sys
rows = {p["name"]: (p["python"]["system"], p["python"]["machine"], p["python"]["wheel_tag"])
        for p in json.load(open(sys.argv[1]))["platforms"]}
client = {}
exec(open(sys.argv[2]).read(), client)
if client["PLATFORMS"] != rows:
    sys.exit("%s differs from %s" % (sys.argv[2], sys.argv[1]))
for platform, (_, _, tag) in rows.items():
    print(platform, tag)' "$table" "$client/quelt_local_pty/_platforms.py")
rm -f "$out"/quelt_local_pty-*.whl
build_wheel any "" ""
while read -r platform tag <&3; do
  bridge=$release/$platform/quelt_local_pty
  if [ ! -f "$bridge" ]; then
    echo "$0: no bridge for $platform at $bridge" >&2
    exit 1
  fi
  build_wheel "$platform" "$bridge" "$tag"
done 3<<<"$rows"
ls -1 "$out"/quelt_local_pty-*.whl
