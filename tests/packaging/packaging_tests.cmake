# ctest entries for what ships (included from tests/CMakeLists.txt): the
# packages, and the documents beside the programs against their --help.
set(KT_PKG_TESTS ${CMAKE_SOURCE_DIR}/tests/packaging)
set(KT_PKG ${CMAKE_SOURCE_DIR}/packaging)
if(WIN32)
  add_test(NAME package_zip COMMAND bash ${KT_PKG_TESTS}/zip_check.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION}
                                    ${KT_WINDOWS_PLATFORM} ${CMAKE_OBJDUMP} ${CMAKE_CROSSCOMPILING_EMULATOR})
  return()
endif()
# The CLI's help lists its exit codes one a line, the emulator's in a sentence.
add_test(NAME man_page_cli COMMAND bash ${KT_PKG_TESTS}/help_sync.sh man ${KT_PKG}/kt3916flash-cli.1.in
                                   --codes -- $<TARGET_FILE:kt3916flash-cli>)
add_test(NAME man_page_emulator COMMAND bash ${KT_PKG_TESTS}/help_sync.sh man ${KT_PKG}/kt3916flash-emulator.1.in
                                        -- $<TARGET_FILE:kt3916flash-emulator>)
set(KT_COMPLETION ${KT_PKG}/kt3916flash-cli.bash-completion)
add_test(NAME completion_options COMMAND bash ${KT_PKG_TESTS}/help_sync.sh completion ${KT_COMPLETION}
                                         -- $<TARGET_FILE:kt3916flash-cli>)
add_test(NAME completion COMMAND bash ${KT_PKG_TESTS}/completion_test.sh ${KT_COMPLETION}
                                 $<TARGET_FILE:kt3916flash-cli>)
if(NOT KT_SANITIZE) # the package holds the shipped programs
  add_test(NAME package_deb COMMAND bash ${KT_PKG_TESTS}/deb_check.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
endif()
