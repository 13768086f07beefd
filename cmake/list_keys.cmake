# The public keys a signed file list must verify with, built into an updater
# from a PEM file (TALLOWFIN_LIST_KEYS). The file is read on the build machine
# by trust/embed_list_keys.cpp, which shares its readers with the updater's
# tests and lets OpenSSL check every point; a file it refuses stops the
# configuration with its reason.
#
# Included by the build; also run as a script, to check one file:
#   cmake -DKEYS=keys.pem -DWORK=some/dir -P cmake/list_keys.cmake

set(TALLOWFIN_LIST_KEYS_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/../trust/embed_list_keys.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../trust/key_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../trust/pem.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../trust/public_key.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../trust/der.cpp)

# Sets OUT to the path of an include file with the keys of PEM, made in WORK.
function(tallowfin_list_keys_include out pem work)
    get_filename_component(source_root ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/.. ABSOLUTE)
    get_filename_component(pem ${pem} ABSOLUTE)
    if(NOT EXISTS ${pem})
        message(FATAL_ERROR "TALLOWFIN_LIST_KEYS names ${pem}, which does not exist")
    endif()
    # A compiler of the build machine, whatever the build's target: in a
    # cross build the configured one makes Windows programs.
    find_program(TALLOWFIN_HOST_CXX NAMES g++ c++ clang++ REQUIRED)
    set(tool ${work}/embed_list_keys)
    set(stale FALSE)
    foreach(source IN LISTS TALLOWFIN_LIST_KEYS_SOURCES)
        if(NOT EXISTS ${tool} OR ${source} IS_NEWER_THAN ${tool})
            set(stale TRUE)
        endif()
    endforeach()
    if(stale)
        file(MAKE_DIRECTORY ${work})
        execute_process(
            COMMAND ${TALLOWFIN_HOST_CXX} -std=c++20 -O1 -I${source_root} ${TALLOWFIN_LIST_KEYS_SOURCES} -lcrypto -o ${tool}
            RESULT_VARIABLE built ERROR_VARIABLE errors OUTPUT_QUIET)
        if(NOT built EQUAL 0)
            message(FATAL_ERROR "The key reader for TALLOWFIN_LIST_KEYS could not be built "
                                "(it needs ${TALLOWFIN_HOST_CXX} and libssl-dev):\n${errors}")
        endif()
    endif()
    set(include_file ${work}/list_keys.inc)
    execute_process(COMMAND ${tool} ${pem} ${include_file} RESULT_VARIABLE read ERROR_VARIABLE reason)
    if(NOT read EQUAL 0)
        string(STRIP "${reason}" reason)
        message(FATAL_ERROR "TALLOWFIN_LIST_KEYS: ${reason}.\nThe file must hold one or more ECDSA P-256 public keys "
                            "as \"openssl ec -in private.pem -pubout\" writes them (-----BEGIN PUBLIC KEY-----).")
    endif()
    # A changed key file configures again.
    if(NOT CMAKE_SCRIPT_MODE_FILE)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pem})
    endif()
    set(${out} ${include_file} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND NOT CMAKE_PARENT_LIST_FILE)
    tallowfin_list_keys_include(checked "${KEYS}" "${WORK}")
    file(READ ${checked} keys)
    string(REGEX MATCHALL "{{" found "${keys}")
    list(LENGTH found count)
    message(STATUS "${count} key(s)")
endif()
