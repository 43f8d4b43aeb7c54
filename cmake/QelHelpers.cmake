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
    qel_windows_test_program(${name})
    qel_add_windows_test(NAME ${name} COMMAND ${name})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

# qel_windows_test_program(<target>): a win32 test program that runs from a
# folder shared into the emulated machine over 9p. Wine reads, rather than maps,
# the sections of an image whose sections are not page-aligned in the file, and
# from the share that read left pages of zeros in the code now and then (the
# programs crashed at their entry point); page-aligned sections are mapped.
function(qel_windows_test_program target)
  target_link_options(${target} PRIVATE -Wl,--file-alignment,4096)
endfunction()

# qel_add_windows_test(NAME <name> [LANG <locale>] COMMAND <target> [args...]): a
# test of the win32 build whose program runs under Wine in the emulated machine
# (CMAKE_CROSSCOMPILING_EMULATOR and the fixture "winevm", tests/CMakeLists.txt).
# Wine takes the user's locale from LANG (en_US.UTF-8 unless given), so a run
# does not depend on the locale of whoever starts the tests.
function(qel_add_windows_test)
  cmake_parse_arguments(arg "" "NAME;LANG" "COMMAND" ${ARGN})
  if(NOT arg_LANG)
    set(arg_LANG en_US.UTF-8)
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND})
  set_tests_properties(${arg_NAME} PROPERTIES FIXTURES_REQUIRED winevm
    ENVIRONMENT_MODIFICATION "LANG=set:${arg_LANG};LC_ALL=unset:")
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
