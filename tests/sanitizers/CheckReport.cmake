# Runs PROBE with FAULT and passes when the program was stopped by a signal
# (the sanitizers' abort) after a report that contains EXPECTED.
execute_process(COMMAND "${PROBE}" "${FAULT}" RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(result MATCHES "^[0-9]+$")
    message(FATAL_ERROR "${FAULT}: the probe exited with status ${result} instead of being stopped\n${out}${err}")
endif()
string(FIND "${err}" "${EXPECTED}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "${FAULT}: no report containing \"${EXPECTED}\" (${result})\n${err}")
endif()
