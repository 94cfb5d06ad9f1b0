# Run with -DREGISTER, -DCONTAINER, -DMODULE, -DREGISTRY and -DSCRIPT, from
# the top of the source tree (the script names the song by a relative path).
file(REMOVE ${REGISTRY})
execute_process(COMMAND ${REGISTER} --registry ${REGISTRY} ${MODULE}
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ocx-register failed (${status}): ${errors}")
endif()
execute_process(COMMAND ${CONTAINER} --registry ${REGISTRY} ${SCRIPT}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE errors)
file(REMOVE ${REGISTRY} ${REGISTRY}.lock)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the example script failed (${status}):\n${out}${errors}")
endif()
string(REGEX MATCHALL "event player\\.NoteOn\\(" notes "${out}")
list(LENGTH notes count)
if(count LESS 60)
  message(FATAL_ERROR "the example script saw ${count} notes, not 60:\n${out}")
endif()
if(out MATCHES "NoteOn\\(Channel=9,")
  message(FATAL_ERROR "a note of the muted drums was played:\n${out}")
endif()
