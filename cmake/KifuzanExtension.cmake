# kifuzan_add_extension(NAME SOURCES file... [DESTINATION dir] [LIBRARIES lib...])
#
# A CPython 3.12 extension module built from SOURCES and the static core,
# installed into DESTINATION of the wheel (default: top level; "kifuzan" for
# a submodule of the package). It gets the package version as KIFUZAN_VERSION
# and exports nothing but its PyInit_* function.
find_package(Python 3.12 REQUIRED COMPONENTS Interpreter Development.Module)

set(KIFUZAN_EXPORTS_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/extension.map")

function(kifuzan_add_extension name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESTINATION" "SOURCES;LIBRARIES")
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "kifuzan_add_extension(${name}): no SOURCES")
  endif()
  if(NOT DEFINED arg_DESTINATION)
    set(arg_DESTINATION .)
  endif()
  python_add_library(${name} MODULE WITH_SOABI ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE kifuzan_core ${arg_LIBRARIES})
  target_compile_definitions(${name} PRIVATE KIFUZAN_VERSION="${KIFUZAN_VERSION}")
  # Hidden visibility leaves out our code, but template instances of the
  # standard library keep default visibility; the version script hides them.
  target_link_options(${name} PRIVATE "LINKER:--version-script=${KIFUZAN_EXPORTS_SCRIPT}")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${KIFUZAN_EXPORTS_SCRIPT}")
  install(TARGETS ${name} LIBRARY DESTINATION ${arg_DESTINATION})
endfunction()
