# The texts of an interface description for xgettext: each line of UI
# that holds a visible text (not marked notr) becomes N_("text") on the
# same line of OUT, so that the catalogue points at the description's line.
file(STRINGS ${UI} lines)
set(out "// Generated from ${UI}: its texts, line for line.\n")
foreach(line IN LISTS lines)
    if(line MATCHES "name=\"(text|title|toolTip|accessibleName|accessibleDescription)\"><string>([^<]*)</string>")
        set(text "${CMAKE_MATCH_2}")
        string(REPLACE "&amp;" "&" text "${text}")
        string(REPLACE "&lt;" "<" text "${text}")
        string(REPLACE "&gt;" ">" text "${text}")
        string(REPLACE "\"" "\\\"" text "${text}")
        string(APPEND out "N_(\"${text}\");\n")
    else()
        string(APPEND out "\n")
    endif()
endforeach()
file(WRITE ${OUT} "${out}")
