# add_area_tests(<target> LABEL <label> SOURCES <files...> LIBS <libs...>)
# One GoogleTest binary per area; every discovered case carries the area's label so
# `ctest -L <label>` runs one area alone.

# The test framework's headers are most of what a test file costs to compile: they are
# precompiled once and shared by every test program.
add_library(test_framework_pch OBJECT ${CMAKE_CURRENT_LIST_DIR}/test_framework_pch.cpp)
target_link_libraries(test_framework_pch PRIVATE GTest::gtest GTest::gmock)
target_precompile_headers(test_framework_pch PRIVATE <gtest/gtest.h> <gmock/gmock.h> <string> <vector>
                          <optional> <functional> <memory> <map> <set>)
# g++ 12 reports std::string's own copies as out of bounds once they are inlined from a
# precompiled header into a test; the warning is known to be false there.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(test_framework_options -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread)
  target_compile_options(test_framework_pch PRIVATE ${test_framework_options})
endif()

function(add_area_tests target)
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_precompile_headers(${target} REUSE_FROM test_framework_pch)
  target_compile_options(${target} PRIVATE ${test_framework_options})
  # Test programs stay out of bin/, which holds only what the simulated machine installs.
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # A cross build's programs cannot run here to list their cases; the platform they are for runs them.
  if(NOT CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${target} PROPERTIES LABELS ${ARG_LABEL} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
