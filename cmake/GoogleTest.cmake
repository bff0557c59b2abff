# GoogleTest is built from Debian's source package so that sanitizer builds instrument it too.
if(EXISTS /usr/src/googletest/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# verbat_add_test(NAME SOURCES sources... LIBS libs... [LABELS label])
# One executable per group of behaviour; each test case is registered in ctest on its own.
function(verbat_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock verbat_warnings)
  # An empty LABELS value would swallow the next keyword as its value (the environment would be
  # lost and every test reading the shared test data would skip), so labels are added only when
  # there are some.
  set(properties ENVIRONMENT "VERBAT_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  if(T_LABELS)
    # The discovery script splits a list value into separate properties, so several labels
    # would silently turn into property names (and lose the environment): allow one.
    list(LENGTH T_LABELS label_count)
    if(label_count GREATER 1)
      message(FATAL_ERROR "verbat_add_test(${name}): one label only, got ${T_LABELS}")
    endif()
    list(PREPEND properties LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${properties} ${T_PROPERTIES})
endfunction()
