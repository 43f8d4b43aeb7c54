# Lays the server package out in a fresh folder, as cpack does, and checks
# that it holds every file that its INSTALL.txt lists under "This package".
#   cmake -DBUILD=<win32 build folder> -DOUT=<folder> -P CheckPackage.cmake
file(REMOVE_RECURSE "${OUT}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --component server --prefix "${OUT}"
                RESULT_VARIABLE installed OUTPUT_QUIET)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${installed})")
endif()
file(STRINGS "${OUT}/INSTALL.txt" listed REGEX "^  [a-zA-Z0-9]+[\\.\\\\][^ ]+  ")
if(NOT listed)
  message(FATAL_ERROR "INSTALL.txt lists no file under \"This package\"")
endif()
foreach(line IN LISTS listed)
  string(REGEX REPLACE "^  ([^ ]+) .*" "\\1" name "${line}")
  string(REPLACE "\\" "/" name "${name}")
  if(NOT EXISTS "${OUT}/${name}")
    message(SEND_ERROR "INSTALL.txt lists ${name}, which the package lacks")
  endif()
  message(STATUS "${name}")
endforeach()
