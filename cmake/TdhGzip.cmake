# SPDX-License-Identifier: MIT
# Compresses one file as Debian wants it (best compression, no name or time
# stamp in the header, so that the result is reproducible):
#   cmake -DGZIP=... -DINPUT=file -DOUTPUT=file.gz -P TdhGzip.cmake
foreach(var GZIP INPUT OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "TdhGzip.cmake: ${var} is not set")
  endif()
endforeach()
execute_process(
  COMMAND "${GZIP}" -9 -n -c
  INPUT_FILE "${INPUT}"
  OUTPUT_FILE "${OUTPUT}.tmp"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${INPUT}")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
