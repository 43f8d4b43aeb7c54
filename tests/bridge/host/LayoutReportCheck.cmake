# Runs a test host under Wine with the eventlog debug channel on and checks
# that it passed and that the plug-in gave ReportEventW the expected words
# (Wine prints each insertion string on that channel).
#   cmake -DEMULATOR=<vm exec command, ;-list> -DPROGRAM=<exe>
#         -DARGUMENTS=<comma-separated> -DEXPECTED=<text> -P LayoutReportCheck.cmake
set(ENV{WINEDEBUG} "+eventlog")
string(REPLACE "," ";" arguments "${ARGUMENTS}")
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${arguments} OUTPUT_VARIABLE out
                ERROR_VARIABLE err RESULT_VARIABLE status)
message("${out}")
message("${err}")
if(NOT status EQUAL 0 OR NOT out MATCHES "all checks passed")
  message(FATAL_ERROR "${PROGRAM} failed (${status})")
endif()
string(FIND "${err}${out}" "ReportEventW" reported)
string(FIND "${err}${out}" "${EXPECTED}" found)
if(reported EQUAL -1 OR found EQUAL -1)
  message(FATAL_ERROR "Wine's eventlog channel does not show \"${EXPECTED}\"")
endif()
