# cmake -DFORM=package|subproject -DSOURCE_DIR=... -DBUILD_DIR=... -DWORK_DIR=...
#       -DGENERATOR=... -DCXX_COMPILER=... -DCONFIG=... -P ConsumerBuild.cmake
# Builds examples/consumer in WORK_DIR, from scratch, against BUILD_DIR
# installed into WORK_DIR/prefix (package) or with SOURCE_DIR as its
# subproject, and runs it on a copy of the sample data.
function(step)
  execute_process(COMMAND ${ARGN} COMMAND_ECHO STDOUT COMMAND_ERROR_IS_FATAL ANY)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
if(FORM STREQUAL "package")
  step(${CMAKE_COMMAND} --install ${BUILD_DIR} --config ${CONFIG} --prefix ${WORK_DIR}/prefix)
  set(library_option -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
elseif(FORM STREQUAL "subproject")
  set(library_option -DVYR_CLASSIFICATION_SOURCE_DIR=${SOURCE_DIR})
else()
  message(FATAL_ERROR "FORM must be package or subproject, not '${FORM}'")
endif()
step(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/consumer -B ${WORK_DIR}/build -G ${GENERATOR}
     -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${CONFIG} ${library_option})
step(${CMAKE_COMMAND} --build ${WORK_DIR}/build --config ${CONFIG} --target vyr-consumer)
file(COPY ${SOURCE_DIR}/examples/data/ DESTINATION ${WORK_DIR}/data)
step(${WORK_DIR}/build/vyr-consumer ${WORK_DIR}/data)
