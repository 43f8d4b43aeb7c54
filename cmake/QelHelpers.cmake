# qel_add_test_folder(NAME DIR [LIBS ...]): one GoogleTest program per test folder,
# built from every *_test.cpp in it.
function(qel_add_test_folder name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE qel_test_support ${ARGN} GTest::gmock_main)
  if(CMAKE_CROSSCOMPILING)
    # Built here, run where 32-bit Windows programs can run (through the emulator).
    if(CMAKE_CROSSCOMPILING_EMULATOR)
      add_test(NAME ${name} COMMAND ${name})
    endif()
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
