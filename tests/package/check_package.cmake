# Installs the build into WORK/prefix, checks the layout, the sizes and that the
# import library does not depend on its directory, builds the C and C++
# consumers against it and runs their programs under Wine.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${ARGN}\nfailed (${rc}):\n${out}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix)
foreach(file bin/QorLeLib.dll bin/qorgatt.exe include/QorLeLib.h include/QorLeLib.hpp lib/libQorLeLib.dll.a
             lib/QorLeLib.lib
             lib/cmake/QorLeLib/QorLeLibConfig.cmake lib/cmake/QorLeLib/QorLeLibConfigVersion.cmake)
    if(NOT EXISTS ${WORK}/prefix/${file})
        message(FATAL_ERROR "the installed package lacks ${file}")
    endif()
endforeach()

# Stripped: release sizes.
foreach(limit "bin/QorLeLib.dll 300" "bin/qorgatt.exe 2048")
    separate_arguments(limit)
    list(GET limit 0 file)
    list(GET limit 1 kib)
    file(SIZE ${WORK}/prefix/${file} size)
    math(EXPR most "${kib} * 1024")
    if(size GREATER most)
        message(FATAL_ERROR "${file} has ${size} bytes, more than ${kib} KiB")
    endif()
endforeach()
# The import library made in another directory has the same bytes.
run(${CMAKE_COMMAND} -DDLLTOOL=${DLLTOOL} -DDEF=${DEF} -DOUT=${WORK}/elsewhere/QorLeLib.lib -P ${IMPLIB_SCRIPT})
file(SHA256 ${WORK}/prefix/lib/QorLeLib.lib installed)
file(SHA256 ${WORK}/elsewhere/QorLeLib.lib elsewhere)
if(NOT installed STREQUAL elsewhere)
    message(FATAL_ERROR "QorLeLib.lib depends on the directory it was made in")
endif()

run(${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/consumer -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
    -DCMAKE_PREFIX_PATH=${WORK}/prefix -DQORLE_PREFIX=${WORK}/prefix)
run(${CMAKE_COMMAND} --build ${WORK}/consumer)
# What each program prints: the C programs, then the C++ one.
set(c_lines "QorGattRegister without an address -> 87" "QorGattPairingRegister -> 0" "QorGattPairingUnregister -> 0"
    "trace lines seen: [1-9]")
set(cpp_lines "qorle::Client registered: yes" "read of 00:1A:7D:DA:71:13 -> not connected \\(2250\\)"
    "thrown: qorle::Client::read: not connected \\(2250\\)" "uuid 180d is Heart Rate" "trace lines seen: [1-9]")
foreach(program "consumer c_lines" "consumer_msvc_lib c_lines" "consumer_cpp cpp_lines")
    separate_arguments(program)
    list(GET program 1 lines)
    list(GET program 0 program)
    run(${RUN} ${WORK}/consumer/${program}.exe)
    message(STATUS "${program}:\n${out}")
    foreach(expected ${${lines}})
        if(NOT out MATCHES "${expected}")
            message(FATAL_ERROR "${program} did not print \"${expected}\"")
        endif()
    endforeach()
endforeach()
