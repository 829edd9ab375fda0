# Turns assigned_numbers.txt (lines "XXXX Name", "#" comments) into the
# table rows that parse.cpp includes: {0xXXXX, "Name"},
# cmake -DIN=assigned_numbers.txt -DOUT=assigned_numbers.inc -P assigned_numbers.cmake
file(STRINGS ${IN} lines ENCODING UTF-8)
set(rows "// Made from assigned_numbers.txt at build time; edit that file instead.\n")
foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
        continue()
    endif()
    if(NOT line MATCHES "^([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]) +([^\"\\\\]+)$")
        message(FATAL_ERROR "${IN}: not \"XXXX Name\": ${line}")
    endif()
    string(APPEND rows "{0x${CMAKE_MATCH_1}, \"${CMAKE_MATCH_2}\"},\n")
endforeach()
file(WRITE ${OUT} "${rows}")
