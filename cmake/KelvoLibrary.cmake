# Shared by the main build and the fuzz build, which compile the same folders.

# kelvo_add_library(name dep...): a static library of every source in the current
# folder, linked publicly to the given dependencies (those that exist).
function(kelvo_add_library name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  if(NOT srcs)
    return()
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${KELVO_ROOT})
  foreach(dep ${ARGN})
    if(TARGET ${dep} OR dep MATCHES "::")
      target_link_libraries(${name} PUBLIC ${dep})
    endif()
  endforeach()
endfunction()
