# SPDX-License-Identifier: MIT
# Builds the man page from its scdoc source: run with
#   cmake -DSCDOC=... -DINPUT=page.scd -DOUTPUT=page.8 [-DGZIP=...] -P TdhManPage.cmake
# Writes OUTPUT, and OUTPUT.gz (compressed without a time stamp) when GZIP is
# given. Hyphenation and justification are switched off after .TH (which
# resets them), so that the exact error texts the page lists are never split
# or stretched.
foreach(var SCDOC INPUT OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "TdhManPage.cmake: ${var} is not set")
  endif()
endforeach()

execute_process(
  COMMAND "${SCDOC}"
  INPUT_FILE "${INPUT}"
  OUTPUT_VARIABLE page
  ERROR_VARIABLE errors
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "scdoc failed on ${INPUT}: ${errors}")
endif()

string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.nh\n.ad l\n" page "${page}")
file(WRITE "${OUTPUT}.tmp" "${page}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")

if(GZIP)
  execute_process(
    COMMAND "${GZIP}" -9 -n -c
    INPUT_FILE "${OUTPUT}"
    OUTPUT_FILE "${OUTPUT}.gz.tmp"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${OUTPUT}")
  endif()
  file(RENAME "${OUTPUT}.gz.tmp" "${OUTPUT}.gz")
endif()
