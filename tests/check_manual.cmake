# Fails unless man renders PAGE at 80 columns without a warning.
# cmake -DMAN=man -DPAGE=docs/quillon.1 -P check_manual.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80
                        ${MAN} --warnings -l ${PAGE}
                OUTPUT_VARIABLE page ERROR_VARIABLE warnings
                RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "" OR page STREQUAL "")
  message(FATAL_ERROR "man ${PAGE} (status ${status}):\n${warnings}")
endif()
