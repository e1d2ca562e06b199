# The Windows program as it ships: reccap.exe with its icon and the DLLs it loads beside it, so
# the folder runs in place. `cmake --install` fills a folder with it; the setup program (NSIS,
# through CPack), the portable zip and the MSI (wixl) are all made from that one folder.

# The icon, drawn from the SVG that the Linux desktop shows, in the sizes Windows picks from:
# 16 to 32 for title bars, lists and the taskbar, 48 and 64 for Explorer, 256 (kept as PNG
# inside the .ico) for its large views and high resolutions. Only this build needs the tools.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
find_program(ICOTOOL icotool REQUIRED)
set(RECCAP_ICO ${CMAKE_CURRENT_BINARY_DIR}/icon/reccap.ico)
set(icon_images "")
set(icon_pngs "")
foreach(size 16 24 32 48 64 256)
    set(png ${CMAKE_CURRENT_BINARY_DIR}/icon/reccap-${size}.png)
    add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/icon
        COMMAND ${RSVG_CONVERT} --width=${size} --height=${size} --output=${png}
            ${CMAKE_CURRENT_SOURCE_DIR}/reccap.svg
        DEPENDS reccap.svg
        VERBATIM)
    if(size EQUAL 256)
        list(APPEND icon_images --raw=${png})
    else()
        list(APPEND icon_images ${png})
    endif()
    list(APPEND icon_pngs ${png})
endforeach()
add_custom_command(OUTPUT ${RECCAP_ICO}
    COMMAND ${ICOTOOL} --create --output=${RECCAP_ICO} ${icon_images}
    DEPENDS ${icon_pngs}
    VERBATIM)
add_custom_target(reccap-icon DEPENDS ${RECCAP_ICO})
configure_file(reccap-icon.rc.in ${CMAKE_CURRENT_BINARY_DIR}/reccap-icon.rc @ONLY)
target_sources(reccap PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/reccap-icon.rc)
# The resource compiler does not report the files a script pulls in, so the icon is named here.
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/reccap-icon.rc TARGET_DIRECTORY reccap
    PROPERTIES OBJECT_DEPENDS ${RECCAP_ICO})
add_dependencies(reccap reccap-icon)

# The application manifest (reccap.exe.manifest says what it declares and why).
set(RECCAP_MANIFEST ${CMAKE_CURRENT_SOURCE_DIR}/reccap.exe.manifest)
configure_file(reccap-manifest.rc.in ${CMAKE_CURRENT_BINARY_DIR}/reccap-manifest.rc @ONLY)
target_sources(reccap PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/reccap-manifest.rc)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/reccap-manifest.rc
    TARGET_DIRECTORY reccap PROPERTIES OBJECT_DEPENDS ${RECCAP_MANIFEST})

# Qt's libraries, and the platform plugin that Qt loads at run time from platforms\ beside
# the program (nothing links it, so no tool would find it from the executable).
install(FILES
    $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>
    DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
if(TARGET Qt6::QWindowsVistaStylePlugin)
    install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
endif()

# Qt's own Japanese, for the buttons of reccap's boxes on a Japanese Windows. Qt for Windows
# carries no translations; a .qm file is the same data on every platform, so the host's is
# shipped, in the folder beside the program where reccap looks for it.
set(RECCAP_QTBASE_JA /usr/share/qt6/translations/qtbase_ja.qm)
if(NOT EXISTS ${RECCAP_QTBASE_JA})
    message(FATAL_ERROR "${RECCAP_QTBASE_JA} is missing: install qt6-translations-l10n")
endif()
install(FILES ${RECCAP_QTBASE_JA} DESTINATION translations)

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

# `cmake --install --strip` strips only what this project builds. The DLLs above come as they
# are, the C++ library with 19 MB of debugging information that no desk reads, and the
# packages would carry it. Stripped as the program is, they keep their exports, relocations and
# unwind tables.
install(CODE "set(reccap_strip [[${CMAKE_STRIP}]])")
install(CODE [[
    if(CMAKE_INSTALL_DO_STRIP AND reccap_strip)
        file(GLOB_RECURSE dlls "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/*.dll")
        foreach(dll IN LISTS dlls)
            execute_process(COMMAND "${reccap_strip}" "${dll}" COMMAND_ERROR_IS_FATAL ANY)
        endforeach()
    endif()
]])


# The folder the packages are made from. scripts/build-windows fills it (`cmake --install
# --strip`) and signs the program in it before any package is made, so that the setup program,
# the zip and the MSI hold the very same files, the signed program among them; CPack takes the
# folder as it stands rather than installing the project once more, which would strip the
# program again and its signature with it.
set(RECCAP_STAGE_DIR ${CMAKE_BINARY_DIR}/dist)

set(CPACK_GENERATOR NSIS ZIP)
# Values reach CPack as written (quotes, backslashes and dollars included).
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME reccap)
# Apps & features shows it as the publisher; the MSI's Manufacturer says the same.
set(CPACK_PACKAGE_VENDOR "the reccap authors")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Capture person records from a serial instrument")
set(CPACK_PACKAGE_INSTALL_DIRECTORY reccap)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY reccap)
set(CPACK_INSTALL_CMAKE_PROJECTS "")
set(CPACK_INSTALLED_DIRECTORIES "${RECCAP_STAGE_DIR};.")
# One Start menu entry, named like the program. It points into the folder's top, where the
# program is installed; NSIS would otherwise look for it in bin\.
set(CPACK_PACKAGE_EXECUTABLES reccap reccap)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_INSTALLED_ICON_NAME reccap.exe)
set(CPACK_NSIS_UNINSTALL_NAME Uninstall)
set(CPACK_NSIS_MUI_ICON ${RECCAP_ICO})
set(CPACK_NSIS_MUI_UNIICON ${RECCAP_ICO})
# CPack's own removal of an installed reccap asks whether to, and removes even a newer one or
# one that is running; setup.nsh decides and removes it in the install section instead.
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL OFF)
set(CPACK_NSIS_MODIFY_PATH OFF)
configure_file(setup.nsh.in ${CMAKE_CURRENT_BINARY_DIR}/setup.nsh @ONLY)
# A 64-bit setup program for a 64-bit program. It also runs under Debian's Wine, which has no
# 32-bit side for NSIS's default stub. Being a 64-bit process, it reads and writes the 64-bit
# view of the registry, where Apps & features looks for a 64-bit program.
set(CPACK_NSIS_DEFINES "Target amd64-unicode\n!include \"${CMAKE_CURRENT_BINARY_DIR}/setup.nsh\"")
set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS "Call ReccapBeforeInstall")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "Call ReccapAfterInstall")
# Each generator's file name is set per generator (the setup program and the zip differ).
configure_file(cpackoptions.cmake.in ${CMAKE_BINARY_DIR}/cpackoptions.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpackoptions.cmake)
include(CPack)

# The MSI, for deployment tools that take no other kind of package: the same files, per
# machine, from the same folder (`cmake --build <dir> --target msi` once it is filled).
find_program(WIXL wixl REQUIRED)
find_program(WIXL_HEAT wixl-heat REQUIRED)
set(RECCAP_MSI ${CMAKE_BINARY_DIR}/reccap-${PROJECT_VERSION}-x64.msi)
configure_file(reccap.wxs.in ${CMAKE_CURRENT_BINARY_DIR}/reccap.wxs @ONLY)
add_custom_target(msi
    COMMAND ${CMAKE_COMMAND} -DWIXL=${WIXL} -DWIXL_HEAT=${WIXL_HEAT} -DSTAGE=${RECCAP_STAGE_DIR}
        -DPRODUCT=${CMAKE_CURRENT_BINARY_DIR}/reccap.wxs
        -DFILES=${CMAKE_CURRENT_BINARY_DIR}/files.wxs -DICON=${RECCAP_ICO} -DOUTPUT=${RECCAP_MSI}
        -P ${CMAKE_CURRENT_SOURCE_DIR}/msi.cmake
    DEPENDS ${RECCAP_ICO} refuse-while-running.js
    VERBATIM)
