# Run by the qlp_node_client target: `npm ci` only when node_modules is missing or older than
# package-lock.json (it would otherwise reinstall everything at every build), then the compiler
# only when a source is newer than its output.
set(marker ${PACKAGE_DIR}/node_modules/.package-lock.json)
if(NOT EXISTS ${marker} OR ${PACKAGE_DIR}/package-lock.json IS_NEWER_THAN ${marker})
  execute_process(COMMAND ${NPM} ci --no-audit --no-fund WORKING_DIRECTORY ${PACKAGE_DIR}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "npm ci failed in ${PACKAGE_DIR}")
  endif()
endif()

set(output ${PACKAGE_DIR}/dist/index.mjs)
file(GLOB sources ${PACKAGE_DIR}/src/*.ts ${PACKAGE_DIR}/scripts/*.js)
set(stale FALSE)
foreach(source ${sources} ${PACKAGE_DIR}/tsconfig.json ${marker})
  if(NOT EXISTS ${output} OR ${source} IS_NEWER_THAN ${output})
    set(stale TRUE)
  endif()
endforeach()
if(stale)
  execute_process(COMMAND ${NPM} run --silent build WORKING_DIRECTORY ${PACKAGE_DIR}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "npm run build failed in ${PACKAGE_DIR}")
  endif()
endif()
