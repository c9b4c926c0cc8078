# Brings the template and every language in PO_DIR up to date with POT.
file(COPY_FILE ${POT} ${PO_DIR}/kyfirmwareupdate.pot)
file(GLOB languages ${PO_DIR}/*.po)
foreach(po IN LISTS languages)
    execute_process(COMMAND ${MSGMERGE} --quiet --update --backup=none ${po} ${POT}
                    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
