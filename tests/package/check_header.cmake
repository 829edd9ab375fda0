# The C++ header on its own, as an application's first include, compiled with
# every warning an error as C++17 and C++20 by the build's mingw-w64 g++ and by
# clang for the same target, on the same libstdc++.
#   -DHEADER=<path> -DGXX=<mingw-w64 g++> -DCLANGXX=<clang++> -DWORK=<scratch directory>
file(MAKE_DIRECTORY ${WORK})
get_filename_component(include_dir ${HEADER} DIRECTORY)
get_filename_component(name ${HEADER} NAME)
file(WRITE ${WORK}/alone.cpp "#include <${name}>\n")

# clang finds the mingw-w64 C headers itself, but not g++'s C++ library.
execute_process(COMMAND ${GXX} -print-file-name=include OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${GXX} -dumpmachine OUTPUT_VARIABLE machine OUTPUT_STRIP_TRAILING_WHITESPACE)
set(libstdcxx -nostdinc++ -isystem ${gcc_include}/c++ -isystem ${gcc_include}/c++/${machine})
set(gxx ${GXX})
set(clang ${CLANGXX} --target=x86_64-w64-windows-gnu ${libstdcxx})

set(failed "")
foreach(compiler gxx clang)
    foreach(std c++17 c++20)
        execute_process(COMMAND ${${compiler}} -std=${std} -Wall -Wextra -Werror -pedantic -I${include_dir}
                                -c ${WORK}/alone.cpp -o ${WORK}/alone-${compiler}-${std}.o
                        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
        if(rc EQUAL 0)
            message(STATUS "${compiler} -std=${std}: clean")
        else()
            message(STATUS "${compiler} -std=${std}: failed (${rc})\n${out}")
            list(APPEND failed "${compiler} -std=${std}")
        endif()
    endforeach()
endforeach()
if(failed)
    message(FATAL_ERROR "${name} does not compile clean with: ${failed}")
endif()
