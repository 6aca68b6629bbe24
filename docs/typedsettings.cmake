# Writes the documentation of Profile's typed accessors from the table in
# profile.h (PROFILE_TYPED_SETTINGS): the macro declares them, so their
# comments come from the table's comment column.
#   cmake -DHEADER=core/profile.h -DOUTPUT=<file>.dox -P typedsettings.cmake
# Read whole: each table line ends in a backslash, which would escape the
# list separator of a list of lines.
file(READ ${HEADER} text)
string(REGEX MATCHALL "\n *X\\([^\n\\\\]*" lines "${text}")
set(out "/** \\file typedsettings.dox\n    \\brief The typed settings of Profile, from PROFILE_TYPED_SETTINGS. */\n\n")
set(count 0)
foreach(line ${lines})
    if(NOT line MATCHES "X\\(([A-Za-z]+), ([a-z_]+)\\) +/\\* (.*) \\*/")
        message(FATAL_ERROR "${HEADER}: a typed setting without its comment: ${line}")
    endif()
    set(type ${CMAKE_MATCH_1})
    set(key ${CMAKE_MATCH_2})
    set(what ${CMAKE_MATCH_3})
    string(APPEND out "/** \\fn ${type} Profile::${key}(const ${type} &defaultValue)
    \\brief The setting \"${key}\": ${what}.

    Row \"${key}\" of table profile as a ${type}, or \\a defaultValue when the
    key has no value. Any thread. \\sa set_${key}(), value() */
/** \\fn void Profile::set_${key}(const ${type} &value, bool save)
    \\brief Sets \"${key}\": ${what}.

    Cached at once; with \\a save also written to table profile. Any thread.
    \\sa ${key}(), setValue() */
")
    math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
    message(FATAL_ERROR "${HEADER}: no typed settings found")
endif()
file(WRITE ${OUTPUT} "${out}")
