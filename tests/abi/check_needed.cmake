# Reads the library's dynamic section and fails on any needed library other
# than the portability layer and libc (with its loader): an optimized build
# must not pull in the C++ runtime.
find_program(READELF readelf REQUIRED)
execute_process(COMMAND ${READELF} -d ${LIBRARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "readelf failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^[]*\\[[^]]+\\]" entries "${dynamic}")
set(bad "")
foreach(entry IN LISTS entries)
    string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" name "${entry}")
    message(STATUS "needs ${name}")
    # The loader is named after the target: ld-linux-x86-64.so.2,
    # ld-linux.so.2 (i386), ld64.so.1 (s390x) and so on.
    if(NOT name MATCHES "^(libsorvan_vkl\\.so\\.0|libc\\.so\\.6|ld-linux[-a-z0-9_]*\\.so\\.[0-9]|ld64\\.so\\.[0-9])$")
        list(APPEND bad ${name})
    endif()
endforeach()
if(bad)
    message(FATAL_ERROR "the library needs more than its portability layer and libc: ${bad}")
endif()
