# Builds the MSI (the `msi` target): files.wxs lists every file in the folder STAGE, which the
# setup program and the zip are made from too, so that no list of files is kept by hand; wixl
# then builds OUTPUT from PRODUCT, that list and the icon ICON.
#   cmake -DWIXL=... -DWIXL_HEAT=... -DSTAGE=... -DPRODUCT=... -DFILES=... -DICON=...
#         -DOUTPUT=... -P msi.cmake
cmake_minimum_required(VERSION 3.25)
foreach(variable WIXL WIXL_HEAT STAGE PRODUCT FILES ICON OUTPUT)
    if(NOT ${variable})
        message(FATAL_ERROR "msi.cmake: ${variable} is not set")
    endif()
endforeach()

file(GLOB_RECURSE files LIST_DIRECTORIES false "${STAGE}/*")
if(NOT "${STAGE}/reccap.exe" IN_LIST files)
    message(FATAL_ERROR "msi.cmake: ${STAGE} holds no reccap.exe; fill it first "
                        "(scripts/build-windows)")
endif()
# wixl-heat opens a folder where the list's folder changes, so files of one folder go together.
# It is given the folder's parent, so that the folder is one of those it opens, and becomes
# the install folder below: files at its top are then in the install folder itself rather than
# in a folder "." within it, which Wine's msiexec would not remove on uninstalling.
list(SORT files)
list(JOIN files "\n" listing)
get_filename_component(list_file "${FILES}" DIRECTORY)
set(list_file "${list_file}/files.txt")
file(WRITE "${list_file}" "${listing}\n")
get_filename_component(stage_parent "${STAGE}" DIRECTORY)
get_filename_component(stage_name "${STAGE}" NAME)
execute_process(
    COMMAND ${WIXL_HEAT} --prefix "${stage_parent}/" --directory-ref ProgramFiles64Folder
        --component-group ReccapFiles --var var.StageParent --win64
    INPUT_FILE "${list_file}"
    OUTPUT_VARIABLE fragment
    COMMAND_ERROR_IS_FATAL ANY)

# wixl-heat names folders at random, and wixl makes each component's GUID from the names on its
# path: numbered in order instead, a file keeps its component from one build to the next.
string(REGEX MATCHALL "Directory Id=\"dir[0-9A-F]+\"" folders "${fragment}")
set(number 0)
foreach(folder IN LISTS folders)
    math(EXPR number "${number} + 1")
    string(REPLACE "${folder}" "Directory Id=\"StageDir${number}\"" fragment "${fragment}")
endforeach()
set(stage_folder "<Directory Id=\"StageDir1\" Name=\"${stage_name}\">")
string(FIND "${fragment}" "${stage_folder}" at)
if(at LESS 0)
    message(FATAL_ERROR "msi.cmake: wixl-heat did not open ${STAGE} first")
endif()
string(REPLACE "${stage_folder}" "<Directory Id=\"INSTALLDIR\" Name=\"reccap\">"
    fragment "${fragment}")
file(WRITE "${FILES}" "${fragment}")

# This wixl finds the files it packs by relative names only.
get_filename_component(here "${PRODUCT}" DIRECTORY)
file(RELATIVE_PATH stage_parent "${here}" "${stage_parent}")
file(RELATIVE_PATH icon_file "${here}" "${ICON}")
file(RELATIVE_PATH refuse_script "${here}" "${CMAKE_CURRENT_LIST_DIR}/refuse-while-running.js")
execute_process(
    COMMAND ${WIXL} --arch x64 --define StageParent=${stage_parent} --define IconFile=${icon_file}
        --define RefuseScript=${refuse_script} --define Win64=yes --output "${OUTPUT}"
        "${PRODUCT}" "${FILES}"
    WORKING_DIRECTORY "${here}"
    ERROR_VARIABLE complaints
    COMMAND_ERROR_IS_FATAL ANY)
# It calls a shortcut that is not advertised "unimplemented", and writes it whole all the same.
string(REGEX REPLACE "[^\n]*: unimplemented\n" "" complaints "${complaints}")
if(NOT complaints STREQUAL "")
    message(WARNING "${complaints}")
endif()
