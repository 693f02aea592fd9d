# Compresses INPUT into OUTPUT with GZIP the way Debian wants it: best
# compression and no name or time stamp in the header, so builds are repeatable.
execute_process(COMMAND ${GZIP} -9 -n -c INPUT_FILE ${INPUT} OUTPUT_FILE ${OUTPUT}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    file(REMOVE ${OUTPUT})
    message(FATAL_ERROR "gzip failed on ${INPUT}: ${status}")
endif()
