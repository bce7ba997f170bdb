# add_area_tests(<target> LABEL <label> SOURCES <files...> LIBS <libs...>)
# One GoogleTest binary per area; every discovered case carries the area's label so
# `ctest -L <label>` runs one area alone.
function(add_area_tests target)
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  # Test programs stay out of bin/, which holds only what the simulated machine installs.
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${target} PROPERTIES LABELS ${ARG_LABEL} DISCOVERY_TIMEOUT 60)
endfunction()
