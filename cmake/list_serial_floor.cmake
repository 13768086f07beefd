# The lowest serial of a signed file list the updater takes, compiled in
# (TALLOWFIN_LIST_SERIAL_FLOOR): a new installation, whose user and folder
# hold no record of a list accepted before, would otherwise take any older
# publication signed with the same keys. Set it to the serial of the list
# served when the release is built (tools/release.sh shows how).
#
# Included by the build; also run as a script, to check one value:
#   cmake -DFLOOR=1796734207 -P cmake/list_serial_floor.cmake

# Stops the configuration unless VALUE is a decimal number from 0 to 2^63 - 1
# written as the publisher writes serials (no sign, blanks or leading zeros).
function(tallowfin_check_list_serial_floor value)
    string(LENGTH "${value}" digits)
    if(NOT value MATCHES "^(0|[1-9][0-9]*)$" OR digits GREATER 19
       OR (digits EQUAL 19 AND value STRGREATER "9223372036854775807"))
        message(FATAL_ERROR "TALLOWFIN_LIST_SERIAL_FLOOR must be a serial, a decimal number from 0 to "
                            "9223372036854775807 without sign, blanks or leading zeros; got '${value}'")
    endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND NOT CMAKE_PARENT_LIST_FILE)
    tallowfin_check_list_serial_floor("${FLOOR}")
    message(STATUS "${FLOOR}")
endif()
