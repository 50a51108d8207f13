# Runs RUN (a program and its emulator) with the space-separated ARGS and
# fails unless it exits with EXPECTED; a JSON result must say "verified".
separate_arguments(args UNIX_COMMAND "${ARGS}")
execute_process(COMMAND ${RUN} ${args} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT code STREQUAL "${EXPECTED}")
  message(FATAL_ERROR "exit code ${code}, expected ${EXPECTED}")
endif()
if(out MATCHES "\"event\":\"result\"" AND out MATCHES "\"verdict\":\"(verify|download|not|refused|access|interrupted)")
  message(FATAL_ERROR "a controller was not verified")
endif()
