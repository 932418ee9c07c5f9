# Shared by the main build and the fuzz build, which compile the same folders.

# kelvo_check_sources(owner file...): stops the configuration when a listed source is
# neither in the source tree nor made by the build, naming the target that lists it.
function(kelvo_check_sources owner)
  foreach(src ${ARGN})
    get_filename_component(path ${src} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    get_source_file_property(generated ${path} GENERATED)
    if(NOT EXISTS ${path} AND NOT generated)
      message(FATAL_ERROR "${owner}: the source file ${src} does not exist (${path})")
    endif()
  endforeach()
endfunction()

# kelvo_check_targets(owner dep...): a Kelvo library named as a dependency must exist
# already, or a typo would become a bare "-lkelvo_..." that fails only when linking.
function(kelvo_check_targets owner)
  foreach(dep ${ARGN})
    if(dep MATCHES "^kelvo_" AND NOT TARGET ${dep})
      message(FATAL_ERROR "${owner}: the library ${dep} is not defined (yet); "
        "folders are added in dependency order")
    endif()
  endforeach()
endfunction()

# kelvo_add_library(name SOURCES file... [PUBLIC dep...] [PRIVATE dep...])
# A static library of the listed sources (relative to the calling folder, or
# generated). PUBLIC: what the library's headers include; PRIVATE: what only its .cpp
# files use. The sources include each other as "folder/file.h" from the top.
function(kelvo_add_library name)
  cmake_parse_arguments(L "" "" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  if(L_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kelvo_add_library(${name}): unknown arguments ${L_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT L_SOURCES)
    message(FATAL_ERROR "kelvo_add_library(${name}): no SOURCES")
  endif()
  kelvo_check_sources(${name} ${L_SOURCES})
  kelvo_check_targets(${name} ${L_PUBLIC} ${L_PRIVATE})
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC ${KELVO_ROOT})
  target_link_libraries(${name} PUBLIC ${L_PUBLIC} PRIVATE ${L_PRIVATE})
endfunction()

# Kelvo's loadable modules (platform/module.h): built into one folder of the build
# tree, installed into one folder under the library directory, and found by the
# program from its own place. The fuzz build has no modules: it links their code in.
include(GNUInstallDirs)
set(KELVO_MODULE_BUILD_DIR ${CMAKE_BINARY_DIR}/modules)
# Debian's place for a program's own architecture-dependent files is under the
# multiarch directory. Not /usr/lib/kelvo: CPack takes any shared object in or right
# under /usr/lib for a public library and gives the package maintainer scripts that
# run ldconfig, which the modules, loaded by full path, have no use for.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(KELVO_MODULE_INSTALL_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/kelvo)
else()
  set(KELVO_MODULE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/kelvo)
endif()

# kelvo_add_module(name SOURCES file... LIBS dep...)
# A module `name`.so of the listed sources. Only its entry point is exported, so that
# the calls inside it are bound when it is linked, not when it is loaded.
function(kelvo_add_module name)
  cmake_parse_arguments(M "" "" "SOURCES;LIBS" ${ARGN})
  if(M_UNPARSED_ARGUMENTS OR NOT M_SOURCES)
    message(FATAL_ERROR "kelvo_add_module(${name}): usage: kelvo_add_module(name SOURCES file... LIBS dep...)")
  endif()
  kelvo_check_sources(${name} ${M_SOURCES})
  kelvo_check_targets(${name} ${M_LIBS})
  add_library(${name} MODULE ${M_SOURCES})
  target_include_directories(${name} PRIVATE ${KELVO_ROOT})
  target_link_libraries(${name} PRIVATE ${M_LIBS})
  set_target_properties(${name} PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${KELVO_MODULE_BUILD_DIR})
  # Kelvo's static libraries linked in stay private to the module too.
  target_link_options(${name} PRIVATE -Wl,--no-undefined -Wl,--exclude-libs,ALL -Wl,-z,relro -Wl,-z,now)
  install(TARGETS ${name} LIBRARY DESTINATION ${KELVO_MODULE_INSTALL_DIR})
endfunction()
