# Builds the package afresh into DIR with cpack, and fails unless DEB is what it made.
file(REMOVE_RECURSE "${DIR}")
execute_process(COMMAND "${CPACK}" -G DEB --config "${CONFIG}" -B "${DIR}"
  RESULT_VARIABLE result TIMEOUT 280)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed: ${result}")
endif()
if(NOT EXISTS "${DEB}")
  file(GLOB made "${DIR}/*.deb")
  message(FATAL_ERROR "expected ${DEB}, cpack made: ${made}")
endif()
