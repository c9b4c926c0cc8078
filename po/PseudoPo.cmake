# The pseudo-language OUT (a compiled catalogue) from the template POT:
# every line of every text becomes "[!! line !!]", placeholders kept. Its
# steps are kept in WORK.
set(work ${WORK})
get_filename_component(dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
file(READ ${POT} template)
string(REPLACE "charset=CHARSET" "charset=UTF-8" template "${template}")
string(REPLACE "nplurals=INTEGER; plural=EXPRESSION;" "nplurals=2; plural=(n != 1);" template
               "${template}")
foreach(default "YEAR-MO-DA HO:MI+ZONE" "FULL NAME <EMAIL@ADDRESS>" "LANGUAGE <LL@li.org>")
    string(REPLACE "${default}" "none" template "${template}")
endforeach()
string(REPLACE "Language: \\n" "Language: en@pseudo\\n" template "${template}")
file(WRITE ${work}/pseudo.pot "${template}")
execute_process(COMMAND ${MSGEN} ${work}/pseudo.pot -o ${work}/pseudo-en.po
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${MSGFILTER} --keep-header -i ${work}/pseudo-en.po -o ${work}/pseudo.po
                        sed -e "s/^.*$/[!! & !!]/" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${MSGFMT} --check -o ${OUT} ${work}/pseudo.po COMMAND_ERROR_IS_FATAL ANY)
