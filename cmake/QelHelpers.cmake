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

# qel_resource_image(<output> <DLL|EXE> <rc file or ""> <list variable>): a
# resource-only PE image built from an .rc file with the mingw-w64 tools, in
# every preset: linked without code or entry point (-nostdlib, entry 0) and
# stripped, so the file ends where its last section ends. Without an .rc file
# the image has no resources at all. The output is appended to the caller's
# list variable.
function(qel_resource_image output kind rc outputs)
  find_program(QEL_MINGW_WINDRES NAMES i686-w64-mingw32-windres REQUIRED)
  find_program(QEL_MINGW_GCC NAMES i686-w64-mingw32-gcc i686-w64-mingw32-gcc-win32 REQUIRED)
  get_filename_component(folder "${output}" DIRECTORY)
  string(MAKE_C_IDENTIFIER "${output}" stem)
  set(object ${CMAKE_CURRENT_BINARY_DIR}/resource-objects/${stem}.o)
  if(rc)
    add_custom_command(OUTPUT ${object}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/resource-objects
      COMMAND ${QEL_MINGW_WINDRES} -i ${rc} -o ${object}
      DEPENDS ${rc} VERBATIM)
  else()
    add_custom_command(OUTPUT ${object}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/resource-objects
      COMMAND ${QEL_MINGW_GCC} -c -x c /dev/null -o ${object} VERBATIM)
  endif()
  if(kind STREQUAL "DLL")
    set(kind_flags -shared)
  else()
    set(kind_flags -Wl,--subsystem,windows)
  endif()
  add_custom_command(OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${folder}"
    COMMAND ${QEL_MINGW_GCC} -nostdlib -s -Wl,-e,0 -Wl,--no-insert-timestamp ${kind_flags}
            -o "${output}" ${object}
    DEPENDS ${object} VERBATIM)
  set(${outputs} ${${outputs}} "${output}" PARENT_SCOPE)
endfunction()
