# The updater's base address: the list is fetched from it and relative
# download addresses are resolved against it. It is compiled into the updater
# as a string literal, so only what a plain address holds is let through.
#
# Included by the build; also run as a script, to check one address:
#   cmake -DURL=https://updates.example.com/tallowfin/ -P cmake/update_url.cmake

# Sets OUT to the base address: URL when it is not empty, otherwise the
# address on HOST that the updater has always used. Stops the configuration
# when the address is not http:// or https:// with a host and a path ending
# in "/".
function(tallowfin_update_base_url out url host)
    if(url STREQUAL "")
        set(url "http://${host}/software/Tallowfin/")
    endif()
    # scheme://host[:port]/path/: a host name or address without user name,
    # and a path of letters, digits and the URL punctuation that needs no
    # quoting in a command line or a list (no blank, quote, backslash, ";",
    # "$", "?" or "#").
    set(host_part "[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9]+)?")
    if(NOT url MATCHES "^[Hh][Tt][Tt][Pp][Ss]?://${host_part}(/[-._~%!&()*+,=:@/A-Za-z0-9]*)?/$")
        message(FATAL_ERROR "The update address must be http:// or https://, a host, and a path ending in \"/\" "
                            "of letters, digits and - . _ ~ % ! & ( ) * + , = : @ /; got '${url}'")
    endif()
    set(${out} "${url}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND NOT CMAKE_PARENT_LIST_FILE)
    tallowfin_update_base_url(checked "${URL}" "")
    message(STATUS "${checked}")
endif()
