# Run as a script at every build: writes the version header, adding the git
# description when the sources are a git checkout. The file is rewritten only
# when its text changes, so an unchanged version recompiles nothing.
#
# In: VERSION (the project version), APP_ID, SOURCE_DIR, OUTPUT.

set(describe "")
find_program(GIT git)
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  # No index lock: a build running beside a commit must not make the commit fail.
  set(ENV{GIT_OPTIONAL_LOCKS} 0)
  execute_process(COMMAND "${GIT}" describe --tags --always --dirty
    WORKING_DIRECTORY "${SOURCE_DIR}"
    OUTPUT_VARIABLE describe OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE result ERROR_QUIET TIMEOUT 30)
  if(NOT result EQUAL 0)
    set(describe "")
  endif()
endif()

set(text "${VERSION}")
if(describe)
  set(text "${VERSION} (git ${describe})")
endif()

set(content "// Generated at build time; do not edit.
#pragma once
#define KELVO_VERSION \"${VERSION}\"
#define KELVO_VERSION_TEXT \"${text}\"
#define KELVO_APP_ID \"${APP_ID}\"
")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()
