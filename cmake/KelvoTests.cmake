# How the test programs are made and registered with CTest.

# kelvo_add_test(NAME n SOURCES s... LIBS l... [LABELS x...] [TIMEOUT sec] [LOCKS r...]
#                [NO_GTEST_MAIN])
# One test program, run by CTest on Qt's offscreen platform. GoogleTest programs
# link gtest_main unless they bring their own main (NO_GTEST_MAIN).
function(kelvo_add_test)
  cmake_parse_arguments(T "NO_GTEST_MAIN" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;LOCKS" ${ARGN})
  if(T_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kelvo_add_test(${T_NAME}): unknown arguments ${T_UNPARSED_ARGUMENTS}")
  endif()
  kelvo_check_sources(${T_NAME} ${T_SOURCES})
  kelvo_check_targets(${T_NAME} ${T_LIBS})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock)
  if(NOT T_NO_GTEST_MAIN)
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest_main)
  endif()
  target_compile_definitions(${T_NAME} PRIVATE KELVO_SOURCE_DIR="${KELVO_ROOT}")
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KELVO_SOURCE_DIR=${KELVO_ROOT}")
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_LOCKS)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
endfunction()

# kelvo_add_tests(PREFIX p LIB library TESTS name... [SUPPORT file...] [PORT25 name...])
# One test program PREFIX_NAME_test per name, from NAME_test.cpp of the calling folder,
# linked to the library and to kelvo_test_support (tests/support). The folder's own
# SUPPORT files are compiled once, as the object library PREFIX_test_support, and
# linked into each. The PORT25 names (also listed in TESTS) deliver to the real mail
# port 127.0.0.1:25: they share the port25 lock and carry the label "postfix".
function(kelvo_add_tests)
  cmake_parse_arguments(F "" "PREFIX;LIB" "TESTS;SUPPORT;PORT25" ${ARGN})
  if(F_UNPARSED_ARGUMENTS OR NOT F_PREFIX OR NOT F_LIB OR NOT F_TESTS)
    message(FATAL_ERROR "kelvo_add_tests: usage: kelvo_add_tests(PREFIX p LIB library "
      "TESTS name... [SUPPORT file...] [PORT25 name...]), called with: ${ARGN}")
  endif()
  if(NOT TARGET ${F_LIB})
    message(FATAL_ERROR "kelvo_add_tests(${F_PREFIX}): the library ${F_LIB} is not defined; "
      "its folder must be added before tests/")
  endif()
  foreach(name ${F_PORT25})
    if(NOT name IN_LIST F_TESTS)
      message(FATAL_ERROR "kelvo_add_tests(${F_PREFIX}): PORT25 names ${name}, which TESTS does not list")
    endif()
  endforeach()
  set(support_lib)
  if(F_SUPPORT)
    set(support_lib ${F_PREFIX}_test_support)
    kelvo_check_sources(${support_lib} ${F_SUPPORT})
    add_library(${support_lib} OBJECT ${F_SUPPORT})
    target_link_libraries(${support_lib} PUBLIC ${F_LIB} kelvo_test_support)
    target_compile_definitions(${support_lib} PRIVATE KELVO_SOURCE_DIR="${KELVO_ROOT}")
  endif()
  foreach(name ${F_TESTS})
    set(extra)
    if(name IN_LIST F_PORT25)
      set(extra LOCKS port25 LABELS postfix)
    endif()
    kelvo_add_test(NAME ${F_PREFIX}_${name}_test SOURCES ${name}_test.cpp
      LIBS ${F_LIB} kelvo_test_support ${support_lib} ${extra})
  endforeach()
endfunction()
