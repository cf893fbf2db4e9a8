# mirelo_add_tests(NAME SOURCES file... LIBRARIES lib...): one GoogleTest binary from the
# listed test files, registered with CTest. Tests live beside the code they test, and every
# source is named: a file that is not listed is never built into a test. Every test binary
# learns where the built programs are, so black-box tests run the real executables.
function(mirelo_add_tests name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES")
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "mirelo_add_tests(${name}): no SOURCES")
  endif()
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBRARIES} mirelo_testing GTest::gtest GTest::gmock GTest::gtest_main)
  add_dependencies(${name} mirelo_programs)
  target_compile_definitions(${name} PRIVATE
    MIRELO_BUILD_DIR="${CMAKE_BINARY_DIR}"
    MIRELO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()
