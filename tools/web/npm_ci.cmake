# Run by the qlp_web target: `npm ci` only when node_modules is missing or older than
# package-lock.json, since it reinstalls everything each time it runs.
set(marker ${PACKAGE_DIR}/node_modules/.package-lock.json)
if(NOT EXISTS ${marker} OR ${PACKAGE_DIR}/package-lock.json IS_NEWER_THAN ${marker})
  execute_process(COMMAND ${NPM} ci --no-audit --no-fund --install-links=false WORKING_DIRECTORY ${PACKAGE_DIR}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "npm ci failed in ${PACKAGE_DIR}")
  endif()
endif()
