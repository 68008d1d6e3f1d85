# What the tests and fuzz targets build against: GoogleTest and nlohmann-json.
# A native build takes the installed packages. A cross build cannot link the
# build machine's GoogleTest, so it compiles Debian's copy of the sources
# (libgtest-dev) for the target; nlohmann-json is headers only, the same for
# every target, but its package lies outside the target's search root.
if(NOT CMAKE_CROSSCOMPILING)
  if(CORVANE_BUILD_TESTS)
    find_package(GTest REQUIRED)
  endif()
  find_package(nlohmann_json 3 REQUIRED)
  return()
endif()

if(CORVANE_BUILD_TESTS)
  set(CORVANE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
      "GoogleTest sources to build for the target (Debian: libgtest-dev)")
  if(NOT EXISTS "${CORVANE_GTEST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "no GoogleTest sources in ${CORVANE_GTEST_SOURCE_DIR} (install libgtest-dev)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Creates gtest and gtest_main with the same GTest:: names as the package.
  add_subdirectory(${CORVANE_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# Found among the build machine's headers (the target's search prefixes are
# not the build machine's, a Windows target's least of all), then copied
# alone: pointing the target's include path at the build machine's include
# directory would mix its C library into the target's.
find_path(CORVANE_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp
  PATHS /usr/local/include /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(COPY ${CORVANE_NLOHMANN_JSON_INCLUDE}/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/host-headers)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/host-headers)
