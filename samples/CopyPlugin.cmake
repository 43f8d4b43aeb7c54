# cmake -DFROM=<built qelevent.dll> -DTO=<sample ci\qelevent.dll> -P CopyPlugin.cmake
if(EXISTS "${FROM}")
  file(COPY_FILE "${FROM}" "${TO}" ONLY_IF_DIFFERENT)
elseif(EXISTS "${TO}")
  file(REMOVE "${TO}")
endif()
