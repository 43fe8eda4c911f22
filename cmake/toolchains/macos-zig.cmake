# Cross-builds the bridge and the attach tool for macOS on Linux with Zig 0.11, which bundles
# clang, macOS's libc headers, LLVM's libc++ and link stubs of libSystem. Nothing built this way
# runs here: the build proves that every Apple branch compiles and links, nothing more.
#
#   cmake -S . -B build-macos/x86_64 --toolchain cmake/toolchains/macos-zig.cmake \
#     -DQLP_ZIG=/path/to/zig -DQLP_MACOS_ARCH=x86_64 -DQLP_BUILD_TESTS=OFF
#
# cmake/toolchains/macos-cross-build.sh fetches the pinned toolchain and builds both architectures.
set(QLP_MACOS_ARCH x86_64 CACHE STRING "Architecture to build for: x86_64 or aarch64")
set_property(CACHE QLP_MACOS_ARCH PROPERTY STRINGS x86_64 aarch64)
set(QLP_ZIG zig CACHE FILEPATH "The zig 0.11 executable")
if(NOT QLP_MACOS_ARCH MATCHES "^(x86_64|aarch64)$")
  message(FATAL_ERROR "QLP_MACOS_ARCH must be x86_64 or aarch64, not '${QLP_MACOS_ARCH}'")
endif()

set(CMAKE_SYSTEM_NAME Darwin)
if(QLP_MACOS_ARCH STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()
# No SDK here: zig brings the headers and libraries, and CMake must not go looking for Xcode's.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)

# CMake wants one executable per tool, and zig's tools are subcommands, so each gets a tiny
# wrapper, written once into the top build directory (try_compile projects, which read this
# file again, are handed that directory and reuse the wrappers).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QLP_MACOS_ARCH QLP_ZIG QLP_ZIG_WRAPPERS)
if(NOT QLP_ZIG_WRAPPERS)
  set(QLP_ZIG_WRAPPERS ${CMAKE_BINARY_DIR}/zig-wrappers)
  # Zig caches what it compiles for the target (libc++ among it, a minute or two per
  # architecture) in the build directory unless ZIG_GLOBAL_CACHE_DIR says otherwise.
  set(qlp_zig_cache ${CMAKE_BINARY_DIR}/zig-cache)
  foreach(tool c++ ar ranlib)
    if(tool STREQUAL "c++")
      set(qlp_arguments "c++ -target ${QLP_MACOS_ARCH}-macos")
    else()
      set(qlp_arguments "${tool}")
    endif()
    file(CONFIGURE OUTPUT ${QLP_ZIG_WRAPPERS}/${tool} @ONLY CONTENT [[#!/bin/sh
# Written by cmake/toolchains/macos-zig.cmake.
ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-@qlp_zig_cache@}
ZIG_LOCAL_CACHE_DIR=${ZIG_LOCAL_CACHE_DIR:-$ZIG_GLOBAL_CACHE_DIR}
export ZIG_GLOBAL_CACHE_DIR ZIG_LOCAL_CACHE_DIR
# CMake asks for a verbose link while it learns the compiler; zig's linker refuses the flag.
for arg do
  shift
  [ "$arg" = -Wl,-v ] || set -- "$@" "$arg"
done
exec '@QLP_ZIG@' @qlp_arguments@ "$@"
]])
    file(CHMOD ${QLP_ZIG_WRAPPERS}/${tool} FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
endif()
set(CMAKE_CXX_COMPILER ${QLP_ZIG_WRAPPERS}/c++)
set(CMAKE_AR ${QLP_ZIG_WRAPPERS}/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${QLP_ZIG_WRAPPERS}/ranlib CACHE FILEPATH "" FORCE)

# Zig builds a libc++ for every set of optimisation flags it links with, a minute or two each;
# CMake's compiler checks have linked one without flags already, so the build links the same way.
# The compile flags stay those of the build type.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

# The two headers of the macOS SDK that zig's bundle lacks, on the include path of this build only.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/macos-sdk-stand-ins)
