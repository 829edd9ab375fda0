# The installed package: the DLL and the tool in bin/, the headers in include/,
# the import libraries in lib/ (libQorLeLib.dll.a for GNU linkers, QorLeLib.lib
# for Microsoft's linker, made from the export list) and a CMake package, so
# that find_package(QorLeLib) gives the imported target QorLeLib::QorLeLib.
include(CMakePackageConfigHelpers)

set(QORLE_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/lib/QorLeLib.lib)
find_program(QORLE_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
set(QORLE_MSVC_IMPLIB_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/QorLeMsvcImplib.cmake)
add_custom_command(
    OUTPUT ${QORLE_MSVC_IMPLIB}
    COMMAND ${CMAKE_COMMAND} -DDLLTOOL=${QORLE_DLLTOOL} -DDEF=${PROJECT_SOURCE_DIR}/include/QorLeLib.def
            -DOUT=${QORLE_MSVC_IMPLIB} -P ${QORLE_MSVC_IMPLIB_SCRIPT}
    DEPENDS ${PROJECT_SOURCE_DIR}/include/QorLeLib.def ${QORLE_MSVC_IMPLIB_SCRIPT}
    COMMENT "Import library QorLeLib.lib from the export list"
    VERBATIM)
add_custom_target(qorle_msvc_implib ALL DEPENDS ${QORLE_MSVC_IMPLIB})

install(TARGETS QorLeLib qorgatt EXPORT QorLeLibTargets
        RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
# The installed DLL and tool are stripped as well: no symbols, whatever the
# build type.
install(CODE "foreach(program QorLeLib.dll qorgatt.exe)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/\${program}\" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR \"stripping \${program} failed\")
    endif()
endforeach()")
# The C header and the header-only C++ interface over it.
install(FILES ${PROJECT_SOURCE_DIR}/include/QorLeLib.h ${PROJECT_SOURCE_DIR}/include/QorLeLib.hpp DESTINATION include)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qorle DESTINATION include)
install(FILES ${QORLE_MSVC_IMPLIB} DESTINATION lib)
install(EXPORT QorLeLibTargets NAMESPACE QorLeLib:: DESTINATION lib/cmake/QorLeLib)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QorLeLibConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/QorLeLibConfig.cmake
                              INSTALL_DESTINATION lib/cmake/QorLeLib)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QorLeLibConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QorLeLibConfig.cmake ${CMAKE_BINARY_DIR}/QorLeLibConfigVersion.cmake
        DESTINATION lib/cmake/QorLeLib)
