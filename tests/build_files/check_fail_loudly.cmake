# Configures the fixture once per mistake and checks that the configuration stops
# with a message naming what is wrong; the correct case must configure, with the
# port-25 lock on the test that asks for it. Last, the whole project with KELVO_BENCH
# on and Google Benchmark hidden must stop and name the Debian package.
#
#   cmake -DKELVO_ROOT=<source> -DWORK=<scratch dir> -P check_fail_loudly.cmake

set(fixture ${KELVO_ROOT}/tests/build_files/fixture)
file(REMOVE_RECURSE ${WORK})
set(failures 0)

# configure(name expect_success pattern args...)
function(configure name expect_success pattern)
  execute_process(COMMAND ${CMAKE_COMMAND} ${ARGN} -B ${WORK}/${name} -G Ninja
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
  set(all "${out}${err}")
  string(REGEX REPLACE "[ \n]+" " " flat "${all}")  # CMake wraps long messages
  set(ok TRUE)
  if(expect_success AND NOT rc EQUAL 0)
    set(ok FALSE)
  elseif(NOT expect_success AND rc EQUAL 0)
    set(ok FALSE)
  elseif(NOT flat MATCHES "${pattern}")
    set(ok FALSE)
  endif()
  if(ok)
    message(STATUS "ok: ${name}")
  else()
    message(STATUS "FAILED: ${name} (exit ${rc}, expected the text \"${pattern}\"):\n${all}")
    math(EXPR n "${failures} + 1")
    set(failures ${n} PARENT_SCOPE)
  endif()
endfunction()

# name                   configures  text the message must hold
set(cases
  "good"                 TRUE        "Generating done"
  "missing_source"       FALSE       "kelvo_second: the source file gone.cpp does not exist"
  "missing_dependency"   FALSE       "kelvo_second: the library kelvo_frist is not defined"
  "missing_test_library" FALSE       "the library kelvo_absent is not defined"
  "missing_test_file"    FALSE       "fixture_gone_test: the source file gone_test.cpp does not exist"
  "port25_not_a_test"    FALSE       "PORT25 names mail, which TESTS does not list"
  "missing_support_file" FALSE       "fixture_test_support: the source file support/gone.cpp does not exist")
list(LENGTH cases n)
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last} 3)
  math(EXPR j "${i} + 1")
  math(EXPR k "${i} + 2")
  list(GET cases ${i} name)
  list(GET cases ${j} expect)
  list(GET cases ${k} pattern)
  configure(${name} ${expect} "${pattern}" -S ${fixture} -DCASE=${name})
endforeach()

# The lock and label of a PORT25 test, and none on the others.
if(EXISTS ${WORK}/good/CTestTestfile.cmake)
  file(READ ${WORK}/good/CTestTestfile.cmake tests)
  if(NOT tests MATCHES "fixture_mail_test\\]=\\] PROPERTIES [^\n]*LABELS \"postfix\" RESOURCE_LOCK \"port25\""
     OR tests MATCHES "fixture_first_test\\]=\\] PROPERTIES [^\n]*port25")
    message(STATUS "FAILED: good: the port-25 lock is not exactly on fixture_mail_test:\n${tests}")
    math(EXPR failures "${failures} + 1")
  endif()
endif()

configure(bench_without_benchmark FALSE "KELVO_BENCH is ON but Google Benchmark was not found.*libbenchmark-dev"
  -S ${KELVO_ROOT} -DKELVO_BENCH=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)

file(REMOVE_RECURSE ${WORK})
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} build-file check(s) failed")
endif()
