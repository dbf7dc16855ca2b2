# Runs one fuzzer for SECONDS from the committed corpus; any crash, leak, sanitizer report or
# broken property makes libFuzzer exit non-zero, and so the test fails.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK} ${ARTIFACTS})
execute_process(
  COMMAND ${FUZZER} ${WORK} ${CORPUS}
    -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
    -artifact_prefix=${ARTIFACTS}/
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${FUZZER} exited with ${status}; the input is kept in ${ARTIFACTS}/ "
                      "and replays with: ${FUZZER} <file>")
endif()
