# The Windows program as it ships: reccap.exe with the DLLs it loads beside it, so the folder
# runs in place. `cmake --install` fills a folder with it; CPack makes the setup program
# (NSIS) and the portable zip of the same files.

# Qt's libraries, and the platform plugin that Qt loads at run time from platforms\ beside
# the program (nothing links it, so no tool would find it from the executable).
install(FILES
    $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>
    DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
if(TARGET Qt6::QWindowsVistaStylePlugin)
    install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
endif()

# The compiler's runtime: the C++ library, its unwinder and the posix threads that Qt and
# reccap are built against. Windows has none of them.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "The compiler does not know where ${dll} is")
    endif()
    install(FILES "${path}" DESTINATION .)
endforeach()

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME reccap)
set(CPACK_PACKAGE_VENDOR reccap)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Capture person records from a serial instrument")
set(CPACK_PACKAGE_INSTALL_DIRECTORY reccap)
set(CPACK_STRIP_FILES ON)
# One Start menu entry, named like the program. It points into the folder's top, where the
# program is installed; NSIS would otherwise look for it in bin\.
set(CPACK_PACKAGE_EXECUTABLES reccap reccap)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DISPLAY_NAME "reccap ${PROJECT_VERSION}")
set(CPACK_NSIS_PACKAGE_NAME "reccap ${PROJECT_VERSION}")
set(CPACK_NSIS_INSTALLED_ICON_NAME reccap.exe)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MODIFY_PATH OFF)
# A 64-bit setup program for a 64-bit program. It also runs under Debian's Wine, which has no
# 32-bit side for NSIS's default stub.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
# Each generator's file name is set per generator (the setup program and the zip differ).
configure_file(cpackoptions.cmake.in ${CMAKE_BINARY_DIR}/cpackoptions.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpackoptions.cmake)
include(CPack)
