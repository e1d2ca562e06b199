# Writes the Debian changelog of a native package from CHANGELOG.md, so that the project keeps
# one history. Run with cmake -P and the variables SOURCE (CHANGELOG.md), OUTPUT, PACKAGE,
# VERSION (the version being packaged, which must be the newest entry) and MAINTAINER.
#
# CHANGELOG.md holds a heading "## VERSION (YYYY-MM-DD)" per release and items that start with
# "- " and go on over lines indented by two spaces. Anything else below the first release
# heading is refused, so that a change in the file's layout cannot silently drop text.

foreach(var SOURCE OUTPUT PACKAGE VERSION MAINTAINER)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "debianchangelog.cmake needs -D${var}=...")
    endif()
endforeach()

# Debian wants the day of the week in the date, and a wrong one is an error there.
function(rfc2822_date year month day out)
    math(EXPR m "${month}")
    math(EXPR d "${day}")
    set(y ${year})
    if(m LESS 3)
        math(EXPR y "${y} - 1")
    endif()
    set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
    math(EXPR index "${m} - 1")
    list(GET offsets ${index} offset)
    math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${d}) % 7")
    set(days Sun Mon Tue Wed Thu Fri Sat)
    set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
    list(GET days ${weekday} dayName)
    list(GET months ${index} monthName)
    set(${out} "${dayName}, ${day} ${monthName} ${year} 12:00:00 +0000" PARENT_SCOPE)
endfunction()

file(STRINGS "${SOURCE}" lines ENCODING UTF-8)
set(text "")
set(entry_open FALSE)
set(trailer "")
set(first_version "")
set(number 0)
foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(line MATCHES "^## ([0-9][0-9.]*) \\(([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\\)$")
        set(version ${CMAKE_MATCH_1})
        rfc2822_date(${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4} date)
        if(first_version STREQUAL "")
            set(first_version ${version})
        endif()
        string(APPEND text "${trailer}${PACKAGE} (${version}) unstable; urgency=medium\n\n")
        set(trailer "\n -- ${MAINTAINER}  ${date}\n\n")
        set(entry_open TRUE)
    elseif(NOT entry_open)
        # The title and the introduction above the first release.
    elseif(line MATCHES "^- (.+)$")
        string(APPEND text "  * ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  ([^ ].*)$")
        string(APPEND text "    ${CMAKE_MATCH_1}\n")
    elseif(line STREQUAL "")
    else()
        message(FATAL_ERROR "${SOURCE}:${number}: not a release heading, an item or its "
                            "continuation: ${line}")
    endif()
endforeach()
string(REGEX REPLACE "\n\n$" "\n" trailer "${trailer}")
string(APPEND text "${trailer}")

if(NOT first_version STREQUAL VERSION)
    message(FATAL_ERROR "${SOURCE}: the newest release is '${first_version}', but the package "
                        "is version ${VERSION}; add its entry")
endif()
file(WRITE "${OUTPUT}" "${text}")
