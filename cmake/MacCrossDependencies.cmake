# The libraries a Mac build made on Linux takes from this host: their sources or headers only,
# never the host's compiled libraries or its /usr/include, which belong to another platform.

# nlohmann-json is header-only: its own folder alone goes on the include path.
find_path(nlohmann_json_headers nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT nlohmann_json_headers)
  message(FATAL_ERROR "nlohmann/json.hpp not found (Debian: apt-get install nlohmann-json3-dev)")
endif()
set(json_include ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${json_include})
file(CREATE_LINK ${nlohmann_json_headers}/nlohmann ${json_include}/nlohmann SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${json_include})

# GoogleTest built from its sources with this toolchain; they name their targets as its package does
# (GTest::gtest, GTest::gmock, ...).
set(googletest_sources /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian: googletest)")
if(NOT EXISTS ${googletest_sources}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources at ${googletest_sources} (Debian: apt-get install googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${googletest_sources} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
