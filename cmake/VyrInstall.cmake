# Install rules: the libraries, the headers a host needs, the CMake package
# VyrClassification (find_package(VyrClassification CONFIG)) and the
# pkg-config file vyr-classification.pc. Included by the root CMakeLists.txt
# after every target exists.
include(CMakePackageConfigHelpers)

set(vyr_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/VyrClassification)
set(vyr_include_dir ${CMAKE_INSTALL_INCLUDEDIR}/vyr-classification)

# The RUNPATHs are the same in the build tree as installed. Otherwise CMake
# links the build tree's programs with the build folders and pads their
# RUNPATH with ':' to make room for the installed one, and to the dynamic
# linker each empty entry so made means the working folder. So the package's
# shared libraries (and the sample module beside them) are built into one
# folder, <build>/<libdir>, as they are installed, and find each other
# through "$ORIGIN" in both places; the tool, built one folder below the
# build folder as it is installed one below the prefix, reaches them the same
# way from both.
# A build folder made before the libraries were built into <build>/<libdir>
# still holds them in their targets' own folders (and the sample, under the
# default module name, beside the bridge), with the padded RUNPATH: those
# old copies are removed.
set(vyr_build_libdir ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
foreach(target IN LISTS VYR_PACKAGE_TARGETS)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set_target_properties(${target} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY ${vyr_build_libdir} INSTALL_RPATH "$ORIGIN" BUILD_WITH_INSTALL_RPATH ON)
    get_target_property(old_dir ${target} BINARY_DIR)
    if(NOT old_dir STREQUAL vyr_build_libdir)
      file(GLOB old_copies ${old_dir}/lib${target}.so ${old_dir}/lib${target}.so.* ${old_dir}/VyrCommonClassification.dll)
      if(old_copies)
        file(REMOVE ${old_copies})
      endif()
    endif()
  endif()
endforeach()

# Two export sets. The store's static libraries carry pugixml in their link
# interface (a static library passes its dependencies on to whoever links
# it); the bridge library has pugixml inside and needs only its runtime
# library. So the targets that need pugixml's package go into a set of their
# own, which the package configuration loads only when pugixml's package is
# found: a host of Vyr::bridge needs no pugixml development files.
set(vyr_store_targets vyr_mapping vyr_store_headers vyr_store vyr_platform)
set(vyr_base_targets ${VYR_PACKAGE_TARGETS})
list(REMOVE_ITEM vyr_base_targets ${vyr_store_targets})
foreach(target IN LISTS vyr_store_targets)
  if(NOT target IN_LIST VYR_PACKAGE_TARGETS)
    message(FATAL_ERROR "${target} is no target of the package")
  endif()
endforeach()
install(TARGETS ${vyr_base_targets} EXPORT VyrClassificationTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${vyr_store_targets} EXPORT VyrClassificationStoreTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(TARGET vyr-classification)
  file(RELATIVE_PATH tool_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  get_target_property(tool_dir vyr-classification BINARY_DIR)
  file(RELATIVE_PATH tool_build_to_lib ${tool_dir} ${vyr_build_libdir})
  if(NOT tool_build_to_lib STREQUAL tool_to_lib)
    set_target_properties(vyr-classification PROPERTIES
      RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_BINDIR})
  endif()
  set_target_properties(vyr-classification PROPERTIES
    INSTALL_RPATH "$ORIGIN/${tool_to_lib}" BUILD_WITH_INSTALL_RPATH ON)
  install(TARGETS vyr-classification RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()


# The headers of the outside face and of the entry points, the module
# author's kit (the module interface, the runtime's loader and the UTF
# conversions), and every header of this project that they include, found
# by following their #include lines. Each keeps its repository path below
# include/vyr-classification.
set(vyr_headers_pending
  Vyr/Libraries/Classification/ClassificationAdminWrapper.h
  Vyr/Libraries/Classification/ClassificationWriteAccess.h
  bridge/ClassificationEntryPoints.h
  bridge/StoreFace.h
  external/directories/Directories.h
  external/definition/AdminWrapper.h
  external/definition/Node.h
  external/classification/ClassificationUiCallbackInterface.h
  external/assert/Assert.h
  assert/AssertInfoWrapper.h
  external/managed/DotnetRuntime.h
  external/managed/ModuleLoader.h
  external/str/Utf.h)
set(vyr_headers "")
while(vyr_headers_pending)
  list(POP_FRONT vyr_headers_pending header)
  if(header IN_LIST vyr_headers OR NOT EXISTS ${PROJECT_SOURCE_DIR}/${header})
    continue()
  endif()
  list(APPEND vyr_headers ${header})
  file(STRINGS ${PROJECT_SOURCE_DIR}/${header} include_lines REGEX "^#include \"[^\"]+\"")
  foreach(line IN LISTS include_lines)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
    list(APPEND vyr_headers_pending ${included})
  endforeach()
endwhile()
# The tool builds on the installed face alone: every header of this project
# that it includes, apart from its own, must be one of the installed ones.
if(TARGET vyr-classification)
  file(GLOB tool_sources ${PROJECT_SOURCE_DIR}/tools/classification/*.cpp ${PROJECT_SOURCE_DIR}/tools/classification/*.h)
  foreach(source IN LISTS tool_sources)
    file(STRINGS ${source} include_lines REGEX "^#include \"[^\"]+\"")
    foreach(line IN LISTS include_lines)
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
      if(NOT included MATCHES "^tools/" AND NOT included IN_LIST vyr_headers)
        message(FATAL_ERROR "${source} includes ${included}, which the package does not install")
      endif()
    endforeach()
  endforeach()
endif()
foreach(header IN LISTS vyr_headers)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${vyr_include_dir}/${folder})
endforeach()

install(EXPORT VyrClassificationTargets NAMESPACE Vyr:: DESTINATION ${vyr_package_dir})
install(EXPORT VyrClassificationStoreTargets NAMESPACE Vyr:: DESTINATION ${vyr_package_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VyrClassificationConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VyrClassificationConfig.cmake INSTALL_DESTINATION ${vyr_package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VyrClassificationConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/VyrClassificationConfig.cmake
  ${PROJECT_BINARY_DIR}/VyrClassificationConfigVersion.cmake
  DESTINATION ${vyr_package_dir})

# The pkg-config file finds its prefix from its own place, so the package
# can be installed anywhere (cmake --install --prefix).
file(RELATIVE_PATH vyr_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" vyr_pc_to_prefix "${vyr_pc_to_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vyr-classification.pc.in
  ${PROJECT_BINARY_DIR}/vyr-classification.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vyr-classification.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
