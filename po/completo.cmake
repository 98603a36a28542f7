# The test po_LANG_completo: extracts the texts to translate from the program's sources
# (XGETTEXT ARGS FUENTES, into POT) and fails, naming them, when the catalog PO lacks a
# translation of any of them or holds only a fuzzy one.
execute_process(COMMAND ${XGETTEXT} ${ARGS} -o ${POT} ${FUENTES} RESULT_VARIABLE r)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "xgettext failed (${r})")
endif()
execute_process(COMMAND ${MSGCMP} ${PO} ${POT} RESULT_VARIABLE r)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "${PO} does not translate every text of the program: run `cmake --build BUILD --target tablon-po` and translate what it marks")
endif()
