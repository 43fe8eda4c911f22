# Run at build time for one npm package of the tree: `npm ci` only when node_modules is missing or
# older than package-lock.json (it reinstalls everything each time it runs), then, with BUILD set,
# `npm run build` only when a source is newer than OUTPUT.
#   cmake -DNPM=... -DPACKAGE_DIR=... [-DNPM_CI_ARGS=a;b] [-DBUILD=ON -DOUTPUT=... -DSOURCES=a;b]
#         -P npm_package.cmake
set(marker ${PACKAGE_DIR}/node_modules/.package-lock.json)
if(NOT EXISTS ${marker} OR ${PACKAGE_DIR}/package-lock.json IS_NEWER_THAN ${marker})
  execute_process(COMMAND ${NPM} ci --no-audit --no-fund ${NPM_CI_ARGS}
                  WORKING_DIRECTORY ${PACKAGE_DIR} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "npm ci failed in ${PACKAGE_DIR}")
  endif()
endif()

if(NOT BUILD)
  return()
endif()
set(stale FALSE)
foreach(pattern ${SOURCES})
  file(GLOB sources ${PACKAGE_DIR}/${pattern})
  foreach(source ${sources} ${marker})
    if(NOT EXISTS ${OUTPUT} OR ${source} IS_NEWER_THAN ${OUTPUT})
      set(stale TRUE)
    endif()
  endforeach()
endforeach()
if(stale)
  execute_process(COMMAND ${NPM} run --silent build WORKING_DIRECTORY ${PACKAGE_DIR}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "npm run build failed in ${PACKAGE_DIR}")
  endif()
endif()
