# Runs qel_keephost.exe under Wine with the eventlog debug channel on and
# checks both what it says (the kept file read back) and what the plug-in
# gave ReportEventW (Wine prints each insertion string on that channel).
#   cmake -DEMULATOR=<vm exec command, ;-list> -DPROGRAM=<exe> -P KeepHostCheck.cmake
set(ENV{WINEDEBUG} "+eventlog")
execute_process(COMMAND ${EMULATOR} ${PROGRAM} OUTPUT_VARIABLE out ERROR_VARIABLE err
                RESULT_VARIABLE status)
message("${out}")
message("${err}")
if(NOT status EQUAL 0 OR NOT out MATCHES "keephost: OK")
  message(FATAL_ERROR "qel_keephost.exe failed (${status})")
endif()
# The warning of each kept event: its text, the answers, where it was kept.
foreach(expected "ReportEventW L\"Fan 2 stopped\"" "ReportEventW L\"18, 18\""
                 "ReportEventW L\"7\"" "qelevent-undelivered.txt\"")
  string(FIND "${err}${out}" "${expected}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "Wine's eventlog channel does not show ${expected}")
  endif()
endforeach()
string(REGEX MATCHALL "warn:eventlog:ReportEventW" warnings "${err}${out}")
if(NOT warnings)
  message(FATAL_ERROR "no warning reached the event log")
endif()
