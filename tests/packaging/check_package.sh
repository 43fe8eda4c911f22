#!/bin/sh
# Builds the Debian package of a built tree and checks its file list and control fields.
#   check_package.sh BUILD_DIR [OUTPUT_DIR]
# Without OUTPUT_DIR the package is built in a temporary directory and removed afterwards.
set -eu

build=$(cd "$1" && pwd)
if [ $# -ge 2 ]; then
  out=$2
  mkdir -p "$out"
else
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
fi

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 || {
  cat "$out/cpack.log" >&2
  exit 1
}
set -- "$out"/*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "check_package: expected one .deb in $out, found: $*" >&2
  exit 1
fi
deb=$1

# Regular files only (lines starting with "-"), with their mode.
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $1, $6 }' | sort -k2 >"$out/files"
cat >"$out/expected" <<'LIST'
-rwxr-xr-x ./usr/bin/quelt-attach
-rwxr-xr-x ./usr/bin/quelt_local_pty
-rw-r--r-- ./usr/share/doc/quelt_local_pty/frames.schema.json
-rw-r--r-- ./usr/share/doc/quelt_local_pty/protocol.md
-rw-r--r-- ./usr/share/man/man1/quelt_local_pty.1
LIST
if ! diff -u "$out/expected" "$out/files"; then
  echo "check_package: the package's files differ from the expected list (above)" >&2
  exit 1
fi

package=$(dpkg-deb -f "$deb" Package)
if [ "$package" != quelt-local-pty ]; then
  echo "check_package: package name is '$package', expected quelt-local-pty" >&2
  exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in
  *libc6*) ;;
  *) echo "check_package: Depends lacks libc6: '$depends'" >&2; exit 1 ;;
esac
echo "check_package: $(basename "$deb") holds the expected $(wc -l <"$out/files") files"
