# How every Kelvo source is compiled, for the main build and the fuzz build alike:
# the language level, the warnings, the sanitizers and the compiler cache. Include it
# right after project().
#
#   KELVO_SANITIZE  option: AddressSanitizer + UBSan on everything (the sanitizer build)
#   KELVO_FUZZ      set by the fuzz project before including: the same sanitizers plus
#                   libFuzzer's coverage instrumentation; only the fuzz programs link
#                   libFuzzer itself (kelvo_link_fuzzer)
#   KELVO_WERROR    option: warnings are errors (default ON, OFF for fuzzing)
#   KELVO_HARDENING option: Debian's hardening flags on the uninstrumented builds
#                   (default ON; the package is made from such a build)

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

option(KELVO_SANITIZE "Build everything with AddressSanitizer and UBSan" OFF)
# A fuzzing run keeps warnings visible but does not stop on them: the code is written
# for gcc, and a clang-only warning must not cost a night of fuzzing.
if(KELVO_FUZZ)
  set(kelvo_werror_default OFF)
else()
  set(kelvo_werror_default ON)
endif()
option(KELVO_WERROR "Treat warnings as errors" ${kelvo_werror_default})

add_compile_options(-Wall -Wextra -Wpedantic)
if(KELVO_WERROR)
  add_compile_options(-Werror)
endif()

# The one list of sanitizers; the run-time options that go with them are in
# scripts/lib/sanitizer-env.
set(KELVO_SANITIZERS address,undefined)
if(KELVO_SANITIZE OR KELVO_FUZZ)
  set(kelvo_instrument ${KELVO_SANITIZERS})
  if(KELVO_FUZZ)
    # Coverage feedback for libFuzzer in every object; debug information so that a
    # finding's stack names lines even in a Release fuzz build.
    set(kelvo_instrument fuzzer-no-link,${KELVO_SANITIZERS})
    add_compile_options(-g)
  endif()
  add_compile_options(-fsanitize=${kelvo_instrument} -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${KELVO_SANITIZERS})
endif()

# The program parses files and network data, so what ships has Debian's defences:
# the flags come from dpkg-buildflags (hardening=+all), less the optimisation and
# debug levels that the build type sets. The instrumented builds go without: their
# sanitizers check more, and FORTIFY's checks would shadow theirs. FORTIFY needs an
# optimising build (glibc warns otherwise, and warnings are errors), so not in Debug.
option(KELVO_HARDENING "Build with Debian's hardening flags (not with the sanitizers)" ON)
if(KELVO_HARDENING AND NOT (KELVO_SANITIZE OR KELVO_FUZZ))
  find_program(KELVO_DPKG_BUILDFLAGS dpkg-buildflags)
  if(NOT KELVO_DPKG_BUILDFLAGS)
    message(FATAL_ERROR "KELVO_HARDENING needs dpkg-buildflags (Debian package dpkg-dev, "
      "which scripts/setup installs), or configure with -DKELVO_HARDENING=OFF")
  endif()
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
        ${KELVO_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(O.*|g.*|ffile-prefix-map=.*)$")
    set(kelvo_deb_${kind} ${flags})
  endforeach()
  # dpkg before 1.22 leaves out stack-clash and control-flow protection, which its
  # later releases add to hardening=+all on amd64.
  foreach(flag -fstack-clash-protection -fcf-protection)
    if(NOT flag IN_LIST kelvo_deb_CXXFLAGS)
      list(APPEND kelvo_deb_CXXFLAGS ${flag})
    endif()
  endforeach()
  foreach(flag ${kelvo_deb_CPPFLAGS})
    if(flag MATCHES "^-D_FORTIFY_SOURCE")
      add_compile_options($<$<NOT:$<CONFIG:Debug>>:${flag}>)
    else()
      add_compile_options(${flag})
    endif()
  endforeach()
  add_compile_options(${kelvo_deb_CXXFLAGS})
  add_link_options(${kelvo_deb_LDFLAGS})
endif()

# kelvo_link_fuzzer(target): links libFuzzer's main into a fuzz program.
function(kelvo_link_fuzzer target)
  if(NOT KELVO_FUZZ)
    message(FATAL_ERROR "kelvo_link_fuzzer(${target}): only the fuzz project links libFuzzer")
  endif()
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
endfunction()

# Rebuilds of unchanged files come from the compiler cache when one is installed.
find_program(KELVO_CCACHE ccache)
if(KELVO_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${KELVO_CCACHE})
endif()

set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTOUIC ON)
set(CMAKE_AUTORCC ON)
