# vyr_classification_module(<target> CLASS <class> [HEADER <header>]
#                           SOURCES <source>... [DEFAULT_NAME])
#
# Builds a classification module library: the shared library <target> from
# SOURCES, where <class> is a default-constructible class derived from
# managed::CommonClassification::Modules::CommonClassificationModule. The
# function adds the library's factory (VYR_CLASSIFICATION_MODULE(<class>) in
# a generated source), links Vyr::bridge (the store's outside face, the
# runtime and the module interface headers) and Vyr::str (the UTF
# conversions of external/str/Utf.h), and hides every symbol but the factory
# and what the sources mark VYR_EXPORT.
#
# HEADER names the header that declares <class> (a path relative to the
# current source folder, or absolute). A module of one source file may leave
# it out: the class is then declared in that file, and the generated source
# includes the file and adds the factory after it (the file is compiled that
# way only, not on its own).
#
# The runtime loads the library at the first entry point call. A host names
# its file with managed::runtime::vModuleFileSet (external/managed/ModuleLoader.h).
# DEFAULT_NAME gives it the file name the runtime looks for when no file is
# named, libVyrCommonClassification.so: a host that ships it in its own
# folder or in a folder of its own RUNPATH (such as $ORIGIN/../lib) has it
# found without naming it, ahead of any module beside the bridge library.
#
#   vyr_classification_module(my_module CLASS my::MyModule HEADER MyModule.h SOURCES MyModule.cpp)
#   vyr_classification_module(my_module CLASS my::MyModule SOURCES MyModule.cpp DEFAULT_NAME)
#
# Installed with the package, so module authors use it against an installed
# library as well as in a build that adds this project as a subproject.
function(vyr_classification_module target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "DEFAULT_NAME" "CLASS;HEADER" "SOURCES")
  list(LENGTH ARG_SOURCES source_count)
  if(ARG_UNPARSED_ARGUMENTS OR NOT ARG_CLASS OR NOT ARG_SOURCES OR (NOT ARG_HEADER AND NOT source_count EQUAL 1))
    message(FATAL_ERROR "vyr_classification_module(${target} CLASS <class> [HEADER <header>] SOURCES <source>... "
                        "[DEFAULT_NAME]): CLASS and SOURCES are needed, and HEADER unless there is one source")
  endif()
  set(sources ${ARG_SOURCES})
  if(ARG_HEADER)
    get_filename_component(header "${ARG_HEADER}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  else()
    # The one source declares the class: compiled through the generated
    # source, which includes it, and listed for the IDE only.
    get_filename_component(header "${ARG_SOURCES}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    set_source_files_properties(${ARG_SOURCES} PROPERTIES HEADER_FILE_ONLY ON)
  endif()
  set(factory "${CMAKE_CURRENT_BINARY_DIR}/${target}_factory.cpp")
  file(CONFIGURE OUTPUT "${factory}" CONTENT [[
// Made by vyr_classification_module(): the factory of the module library.
#include "@header@"

#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"

VYR_CLASSIFICATION_MODULE(@ARG_CLASS@)
]] @ONLY)

  add_library(${target} SHARED ${sources} "${factory}")
  target_link_libraries(${target} PRIVATE Vyr::bridge Vyr::str)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON)
  if(ARG_DEFAULT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME VyrCommonClassification PREFIX lib SUFFIX .so)
  endif()
endfunction()
