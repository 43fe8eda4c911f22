# Builds with Zig 0.11 as a cross toolchain for one of the release targets: fully static Linux
# executables on musl and LLVM's libc++ (x86_64-linux-musl, aarch64-linux-musl), or macOS
# executables against zig's macOS libc headers, libc++ and libSystem link stubs (x86_64-macos,
# aarch64-macos). packaging/release.sh fetches the pinned toolchain and builds all four:
#
#   cmake -S . -B build-zig/linux-x64 --toolchain cmake/toolchains/zig.cmake \
#     -DQLP_ZIG=/path/to/zig -DQLP_ZIG_TARGET=x86_64-linux-musl -DQLP_BUILD_TESTS=OFF
#
# Zig keeps what it compiles for a target (musl, libc++: minutes per target) in one cache,
# ZIG_GLOBAL_CACHE_DIR from the environment when set, else QLP_ZIG_CACHE; the release script
# shares one cache between its targets and its runs.
set(QLP_ZIG_TARGET x86_64-linux-musl CACHE STRING "Zig target triple to build for")
set_property(CACHE QLP_ZIG_TARGET PROPERTY STRINGS
  x86_64-linux-musl aarch64-linux-musl x86_64-macos aarch64-macos)
set(QLP_ZIG zig CACHE FILEPATH "The zig 0.11 executable")
if(NOT QLP_ZIG_TARGET MATCHES "^(x86_64|aarch64)-(linux-musl|macos(\\.[0-9.]+)?)$")
  message(FATAL_ERROR "QLP_ZIG_TARGET must be x86_64 or aarch64, then -linux-musl or -macos, "
                      "not '${QLP_ZIG_TARGET}'")
endif()
string(REGEX REPLACE "-.*" "" qlp_zig_arch "${QLP_ZIG_TARGET}")

if(QLP_ZIG_TARGET MATCHES "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  if(qlp_zig_arch STREQUAL "aarch64")
    set(CMAKE_SYSTEM_PROCESSOR arm64)
  else()
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
  endif()
  # No SDK here: zig brings the headers and libraries, and CMake must not go looking for Xcode's.
  set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
  set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
  # The two headers of the macOS SDK that zig's bundle lacks, on the include path of this build only.
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/macos-sdk-stand-ins)
else()
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${qlp_zig_arch})
endif()

# CMake wants one executable per tool, and zig's tools are subcommands, so each gets a tiny
# wrapper, written once into the top build directory (try_compile projects, which read this
# file again, are handed that directory and reuse the wrappers).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QLP_ZIG_TARGET QLP_ZIG QLP_ZIG_WRAPPERS)
if(NOT QLP_ZIG_WRAPPERS)
  set(QLP_ZIG_WRAPPERS ${CMAKE_BINARY_DIR}/zig-wrappers)
  set(QLP_ZIG_CACHE ${CMAKE_BINARY_DIR}/zig-cache CACHE PATH
      "Zig's cache when ZIG_GLOBAL_CACHE_DIR is not set")
  foreach(tool c++ ar ranlib)
    if(tool STREQUAL "c++")
      set(qlp_arguments "c++ -target ${QLP_ZIG_TARGET}")
    else()
      set(qlp_arguments "${tool}")
    endif()
    file(CONFIGURE OUTPUT ${QLP_ZIG_WRAPPERS}/${tool} @ONLY CONTENT [[#!/bin/sh
# Written by cmake/toolchains/zig.cmake.
ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-@QLP_ZIG_CACHE@}
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
# CMake's compiler checks have linked one without flags already, so the build links the same way
# (zig optimises its runtime libraries whatever the link's flags say). The compile flags stay
# those of the build type.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

# Release builds: stripped by the linker itself, since nothing may touch a binary after it is
# linked (that would break the code signature the linker gives arm64 macOS executables). Every
# link, CMake's own checks included, uses the same flags, so zig builds its runtime libraries
# for a target once.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-s")
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--gc-sections")
else()
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-dead_strip")
endif()
