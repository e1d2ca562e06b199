# Fails when an option that PROGRAM --help lists is missing from the manual page PAGE, so that
# neither a page written by hand nor one generated from the help can fall behind the program.
# Run with cmake -P and the variables PROGRAM and PAGE.

foreach(var PROGRAM PAGE)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "checkmanpage.cmake needs -D${var}=...")
    endif()
endforeach()

execute_process(COMMAND "${PROGRAM}" --help
    OUTPUT_VARIABLE help
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help failed (${status})")
endif()
# Only the option list counts: the description may mention options in passing.
string(FIND "${help}" "\nOptions:\n" start)
if(start LESS 0)
    message(FATAL_ERROR "${PROGRAM} --help has no \"Options:\" section:\n${help}")
endif()
string(SUBSTRING "${help}" ${start} -1 help)
string(REGEX MATCHALL "\n  +(-[A-Za-z?], )?--[A-Za-z0-9][A-Za-z0-9-]*" entries "${help}")
if(NOT entries)
    message(FATAL_ERROR "${PROGRAM} --help lists no options:\n${help}")
endif()

# The page as a reader sees the option names: roff's escaped hyphen and font changes removed.
file(READ "${PAGE}" page)
string(REPLACE "\\-" "-" page "${page}")
string(REGEX REPLACE "\\\\f(\\[[A-Z]*\\]|[BIRP])" "" page "${page}")

set(missing "")
foreach(entry IN LISTS entries)
    string(REGEX MATCH "--[A-Za-z0-9-]+$" option "${entry}")
    string(REGEX MATCH "-[A-Za-z?], " short "${entry}")
    string(REPLACE ", " "" short "${short}")
    foreach(name IN ITEMS ${option} ${short})
        string(REPLACE "?" "\\?" pattern "${name}")
        if(NOT page MATCHES "(^|[^A-Za-z0-9-])${pattern}([^A-Za-z0-9-]|$)")
            list(APPEND missing ${name})
        endif()
    endforeach()
endforeach()
if(missing)
    list(JOIN missing " " missing)
    message(FATAL_ERROR "${PAGE} lacks options that ${PROGRAM} --help lists: ${missing}")
endif()
list(LENGTH entries count)
message(STATUS "${PAGE}: all ${count} options of ${PROGRAM} --help are there")
