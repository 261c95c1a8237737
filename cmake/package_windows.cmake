# The Windows zip that cpack makes: romweave.exe with the README, the licence
# and the manual rendered as plain text, all with Windows line ends.
install(TARGETS romweave RUNTIME DESTINATION .)

find_program(ROMWEAVE_GROFF groff REQUIRED)
# Info-ZIP's zip writes the zip again in a fixed form (normalise_archive.cmake).
find_program(CPACK_ROMWEAVE_ZIP zip REQUIRED)
function(romweave_windows_text output command)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${output}
    COMMAND sh -c "${command} | sed 's/$/\\r/' > \"$0\"" ${PROJECT_BINARY_DIR}/${output}
    DEPENDS ${ARGN}
    VERBATIM)
  list(APPEND windows_texts ${PROJECT_BINARY_DIR}/${output})
  set(windows_texts ${windows_texts} PARENT_SCOPE)
  install(FILES ${PROJECT_BINARY_DIR}/${output} DESTINATION .)
endfunction()
set(manual ${PROJECT_SOURCE_DIR}/doc/romweave.1)
romweave_windows_text(romweave.txt "${ROMWEAVE_GROFF} -man -Tascii -P-cbou ${manual}" ${manual})
romweave_windows_text(README.txt "cat ${PROJECT_SOURCE_DIR}/windows/README.txt" ${PROJECT_SOURCE_DIR}/windows/README.txt)
romweave_windows_text(LICENSE.txt "cat ${PROJECT_SOURCE_DIR}/LICENSE" ${PROJECT_SOURCE_DIR}/LICENSE)
add_custom_target(windows_texts ALL DEPENDS ${windows_texts})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME romweave)
set(CPACK_PACKAGE_FILE_NAME romweave-${PROJECT_VERSION}-win64)
set(CPACK_STRIP_FILES OFF)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/normalise_archive.cmake)
include(CPack)
