# cmake -DFORM=package|subproject|module|bridge-only -DSOURCE_DIR=... -DBUILD_DIR=... -DWORK_DIR=...
#       -DGENERATOR=... -DCXX_COMPILER=... -DCONFIG=... -P ConsumerBuild.cmake
# Builds a project of a library user in WORK_DIR, from scratch, and runs it
# on a copy of the sample data:
#   package:    examples/consumer against BUILD_DIR installed into
#               WORK_DIR/prefix, and its query-only host once more with the
#               README's pkg-config line; then examples/notify-host against
#               the same prefix, run by its check.sh;
#   subproject: examples/consumer with SOURCE_DIR as its subproject;
#   module:     examples/inverse-module (a host that ships its own module
#               under the default name in its lib folder, and never names
#               it) against BUILD_DIR installed into WORK_DIR/prefix; its
#               module runs, and the host logs that module's file.
#   bridge-only: tests/consumer/bridge-host against BUILD_DIR installed into
#               WORK_DIR/prefix, with the system's prefixes ignored by
#               find_package, so that pugixml's CMake package is out of
#               sight (the project checks that it is): a host of Vyr::bridge
#               needs no pugixml development files, and links every
#               operation the installed headers declare for a host. First
#               configured with pugixml in sight, where the store component
#               must be found.
function(step)
  execute_process(COMMAND ${ARGN} COMMAND_ECHO STDOUT COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# Runs the program; its standard output must be `expected`.
function(step_prints expected)
  execute_process(COMMAND ${ARGN} COMMAND_ECHO STDOUT COMMAND_ERROR_IS_FATAL ANY OUTPUT_VARIABLE printed)
  if(NOT printed STREQUAL expected)
    message(FATAL_ERROR "printed '${printed}', expected '${expected}'")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(project_dir ${SOURCE_DIR}/examples/consumer)
if(FORM STREQUAL "package" OR FORM STREQUAL "module")
  step(${CMAKE_COMMAND} --install ${BUILD_DIR} --config ${CONFIG} --prefix ${WORK_DIR}/prefix)
  # No installed RUNPATH or RPATH has an empty entry, which the dynamic
  # linker would take for the working folder.
  file(GLOB_RECURSE installed LIST_DIRECTORIES false ${WORK_DIR}/prefix/bin/* ${WORK_DIR}/prefix/lib/*)
  set(elf_count 0)
  foreach(file IN LISTS installed)
    if(IS_SYMLINK ${file})
      continue()
    endif()
    file(READ_ELF ${file} RUNPATH runpath RPATH rpath CAPTURE_ERROR not_elf)
    if(not_elf)
      continue()
    endif()
    math(EXPR elf_count "${elf_count} + 1")
    foreach(search_path IN ITEMS "${runpath}" "${rpath}")
      if(":${search_path}:" MATCHES "::" AND NOT search_path STREQUAL "")
        message(FATAL_ERROR "${file} has an empty search path entry: [${search_path}]")
      endif()
    endforeach()
  endforeach()
  if(elf_count EQUAL 0)
    message(FATAL_ERROR "no installed program or library found below ${WORK_DIR}/prefix")
  endif()
  set(library_option -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
  if(FORM STREQUAL "module")
    set(project_dir ${SOURCE_DIR}/examples/inverse-module)
  endif()
elseif(FORM STREQUAL "bridge-only")
  step(${CMAKE_COMMAND} --install ${BUILD_DIR} --config ${CONFIG} --prefix ${WORK_DIR}/prefix)
  step(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer/bridge-host -B ${WORK_DIR}/with-store -G ${GENERATOR}
       -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DVYR_EXPECT_STORE=ON)
  set(project_dir ${SOURCE_DIR}/tests/consumer/bridge-host)
  # /usr/local, /usr and / (where /lib leads into /usr/lib): every place a
  # Debian package puts a CMake package. Given as an initial cache, since a
  # list does not pass through one -D argument here.
  file(WRITE ${WORK_DIR}/no-system-packages.cmake "set(CMAKE_IGNORE_PREFIX_PATH /usr/local /usr / CACHE STRING \"\")\n")
  set(library_option -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -C ${WORK_DIR}/no-system-packages.cmake)
elseif(FORM STREQUAL "subproject")
  set(library_option -DVYR_CLASSIFICATION_SOURCE_DIR=${SOURCE_DIR})
else()
  message(FATAL_ERROR "FORM must be package, subproject, module or bridge-only, not '${FORM}'")
endif()
step(${CMAKE_COMMAND} -S ${project_dir} -B ${WORK_DIR}/build -G ${GENERATOR}
     -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${CONFIG} ${library_option})
step(${CMAKE_COMMAND} --build ${WORK_DIR}/build --config ${CONFIG})
file(COPY ${SOURCE_DIR}/examples/data/ DESTINATION ${WORK_DIR}/data)

if(FORM STREQUAL "bridge-only")
  step_prints("bolt steel\nbracket aluminium\nclip nylon\nhinge brass\npanel glass\npanel polycarbonate\n"
            ${WORK_DIR}/build/vyr-bridge-host ${WORK_DIR}/data materials)
  return()
endif()
if(FORM STREQUAL "module")
  # The host ships its module under the default name in its own lib folder
  # and never names it. A module under the default name beside the bridge
  # (as the sample once was) must not stand in for it.
  file(COPY_FILE ${WORK_DIR}/prefix/lib/VyrSampleClassification.dll ${WORK_DIR}/prefix/lib/VyrCommonClassification.dll)
  execute_process(COMMAND ${WORK_DIR}/build/bin/vyr-inverse-host ${WORK_DIR}/data
    COMMAND_ECHO STDOUT COMMAND_ERROR_IS_FATAL ANY OUTPUT_VARIABLE printed)
  set(expected "module: ${WORK_DIR}/build/lib/VyrCommonClassification.dll\n")
  string(FIND "${printed}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "printed '${printed}', expected a line '${expected}'")
  endif()
  return()
endif()
step_prints("glass\npolycarbonate\n" ${WORK_DIR}/build/vyr-query ${WORK_DIR}/data materials panel)
step(${WORK_DIR}/build/vyr-consumer ${WORK_DIR}/data)
if(FORM STREQUAL "package")
  # The README's line, as written there, with the prefix of this install.
  set(ENV{PKG_CONFIG_PATH} ${WORK_DIR}/prefix/lib/pkgconfig)
  execute_process(COMMAND pkg-config --variable=libdir vyr-classification
                  OUTPUT_VARIABLE libdir OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  step(sh -c "${CXX_COMPILER} -o ${WORK_DIR}/my_host ${SOURCE_DIR}/examples/consumer/query.cpp \
$(pkg-config --cflags --libs vyr-classification) -Wl,-rpath,${libdir}")
  step_prints("steel\n" ${WORK_DIR}/my_host ${WORK_DIR}/data materials bolt)
  # The host that waits on the change descriptor, run while the installed
  # tool, a plain mv and a sed -i change level files.
  if(EXISTS ${WORK_DIR}/prefix/bin/vyr-classification)
    step(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/notify-host -B ${WORK_DIR}/notify-build -G ${GENERATOR}
         -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${CONFIG} -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
    step(${CMAKE_COMMAND} --build ${WORK_DIR}/notify-build --config ${CONFIG})
    step(sh ${SOURCE_DIR}/examples/notify-host/check.sh ${WORK_DIR}/notify-build/notify-host
         ${WORK_DIR}/prefix/bin/vyr-classification ${SOURCE_DIR}/examples/data ${WORK_DIR}/notify)
  endif()
endif()
