# vyr_classification_module(<target> CLASS <class> HEADER <header>
#                           SOURCES <source>... [DEFAULT_NAME])
#
# Builds a classification module library: the shared library <target> from
# SOURCES, where <class> (declared in <header>, a path relative to the
# current source folder or absolute) is a default-constructible class derived
# from managed::CommonClassification::Modules::CommonClassificationModule.
# The function adds the library's factory (VYR_CLASSIFICATION_MODULE(<class>)
# in a generated source), links Vyr::bridge (the store's outside face, the
# runtime and the module interface headers) and Vyr::str (the UTF
# conversions of external/str/Utf.h), and hides every symbol but the factory
# and what the sources mark VYR_EXPORT.
#
# The runtime loads the library at the first entry point call. A host names
# its file with managed::runtime::vModuleFileSet (external/managed/ModuleLoader.h).
# DEFAULT_NAME gives it the file name the runtime looks for when no file is
# named, libVyrCommonClassification.so; placed beside the bridge library or
# on the library search path, it is then found without a call.
#
#   vyr_classification_module(my_module CLASS my::MyModule HEADER MyModule.h SOURCES MyModule.cpp)
#
# Installed with the package, so module authors use it against an installed
# library as well as in a build that adds this project as a subproject.
function(vyr_classification_module target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "DEFAULT_NAME" "CLASS;HEADER" "SOURCES")
  if(ARG_UNPARSED_ARGUMENTS OR NOT ARG_CLASS OR NOT ARG_HEADER OR NOT ARG_SOURCES)
    message(FATAL_ERROR "vyr_classification_module(${target} CLASS <class> HEADER <header> SOURCES <source>... "
                        "[DEFAULT_NAME]): CLASS, HEADER and SOURCES are needed")
  endif()
  get_filename_component(header "${ARG_HEADER}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  set(factory "${CMAKE_CURRENT_BINARY_DIR}/${target}_factory.cpp")
  file(CONFIGURE OUTPUT "${factory}" CONTENT [[
// Made by vyr_classification_module(): the factory of the module library.
#include "@header@"

#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"

VYR_CLASSIFICATION_MODULE(@ARG_CLASS@)
]] @ONLY)

  add_library(${target} SHARED ${ARG_SOURCES} "${factory}")
  target_link_libraries(${target} PRIVATE Vyr::bridge Vyr::str)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON)
  if(ARG_DEFAULT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME VyrCommonClassification PREFIX lib SUFFIX .so)
  endif()
endfunction()
