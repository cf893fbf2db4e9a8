# mirelo_add_tests(NAME DIR LIBS...): one GoogleTest binary from every *_test.cc in DIR.
# Tests live beside the code they test. Every test binary learns where the built programs
# are, so black-box tests run the real executables.
function(mirelo_add_tests name dir)
  file(GLOB sources CONFIGURE_DEPENDS "${dir}/*_test.cc")
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} mirelo_testing GTest::gtest GTest::gmock GTest::gtest_main)
  add_dependencies(${name} mirelo_programs)
  target_compile_definitions(${name} PRIVATE
    MIRELO_BUILD_DIR="${CMAKE_BINARY_DIR}"
    MIRELO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()
