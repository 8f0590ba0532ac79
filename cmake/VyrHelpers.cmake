# The project's own targets build with all warnings; with VYR_WERROR (on in
# ./run and CI) they are errors.
function(vyr_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic $<$<BOOL:${VYR_WERROR}>:-Werror>)
endfunction()

# vyr_add_test(name SOURCES a.cpp b.cpp LIBS lib1 lib2)
# One GoogleTest executable registered with CTest, test by test.
function(vyr_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  vyr_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock vyr_include_root Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()
