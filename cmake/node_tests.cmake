# One CTest entry per test file of an npm package, run with Node's own runner against this build's
# own bridge. Extra NAME=VALUE pairs after ENVIRONMENT are added to each test's environment; files
# named after EXCLUDE are left out.
function(qlp_node_tests prefix pattern)
  cmake_parse_arguments(arg "" "" "ENVIRONMENT;EXCLUDE" ${ARGN})
  file(GLOB test_files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test/${pattern})
  foreach(test_file ${test_files})
    get_filename_component(test_name ${test_file} NAME_WE)
    if(test_name IN_LIST arg_EXCLUDE)
      continue()
    endif()
    add_test(NAME ${prefix}_${test_name}
             COMMAND ${QLP_NODE} --test --test-reporter=spec ${test_file}
             WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    set_tests_properties(${prefix}_${test_name} PROPERTIES
      LABELS ${prefix} TIMEOUT 300
      ENVIRONMENT "QUELT_LOCAL_PTY=$<TARGET_FILE:quelt_local_pty>;QLP_NPM=${QLP_NPM};${arg_ENVIRONMENT}")
  endforeach()
endfunction()
