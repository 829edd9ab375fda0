# Makes QorLeLib.lib, the import library for Microsoft's linker, from the export
# list: dlltool runs in the output's directory on a relative name, because the
# names inside the archive come from the output name, so that the bytes do not
# depend on where the build lives.
#   cmake -DDLLTOOL=... -DDEF=.../QorLeLib.def -DOUT=.../QorLeLib.lib -P QorLeMsvcImplib.cmake
get_filename_component(dir ${OUT} DIRECTORY)
get_filename_component(name ${OUT} NAME)
file(MAKE_DIRECTORY ${dir})
execute_process(COMMAND ${DLLTOOL} --machine i386:x86-64 --input-def ${DEF} --dllname QorLeLib.dll --output-lib ${name}
                WORKING_DIRECTORY ${dir} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dlltool failed (${rc})")
endif()
