# Installation and the Debian package: `cmake --install <build> [--prefix DIR]` puts the bridge,
# the attach tool, the manual page and the protocol documents under the prefix;
# `cpack -G DEB` (from the build directory) packs the same files.
include(GNUInstallDirs)

install(TARGETS quelt_local_pty RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET quelt-attach)
  # Side by side with the bridge: the attach tool's default bridge is the one next to it.
  install(TARGETS quelt-attach RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/docs/quelt_local_pty.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/protocol.md ${PROJECT_SOURCE_DIR}/docs/frames.schema.json
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
# Debian package names allow no underscore.
set(CPACK_PACKAGE_NAME quelt-local-pty)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_CONTACT "quelt_local_pty maintainers <maintainers@users.noreply.c-seed-0bff141f.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "bridge that runs one program in a pseudo-terminal and speaks JSON frames")
set(CPACK_PACKAGE_DESCRIPTION
    "quelt_local_pty runs one interactive program inside a pseudo-terminal and connects the\n terminal to the process that started it through newline-delimited JSON frames on standard\n input and output. quelt-attach connects a person's own terminal to a shell through it.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies come from the binaries themselves where Debian's tool for that is
# installed (dpkg-dev); otherwise the C and C++ runtimes are named by hand.
find_program(QLP_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QLP_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
include(CPack)
