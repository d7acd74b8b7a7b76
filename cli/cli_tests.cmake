# ctest entries that run the real kt3916flash-cli binary (included from
# tests/CMakeLists.txt): the exit codes end to end, and Ctrl-C natively.
set(KT_CLI_TEST_DIR ${CMAKE_SOURCE_DIR}/tests/cli)
add_test(NAME cli_version COMMAND kt3916flash-cli --version)
set_tests_properties(cli_version PROPERTIES PASS_REGULAR_EXPRESSION "^kt3916flash-cli 1\\.10")
add_test(NAME cli_exit_codes
         COMMAND bash ${KT_CLI_TEST_DIR}/exit_codes.sh ${CMAKE_BINARY_DIR}/cli-test-work
                 ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:kt3916flash-cli>)
if(NOT WIN32)
  # Signed images: keys and signatures made with minisign; the Windows build
  # checks none.
  add_test(NAME cli_signed COMMAND bash ${KT_CLI_TEST_DIR}/signed.sh ${CMAKE_BINARY_DIR}/cli-signed-work
                                   $<TARGET_FILE:kt3916flash-cli>)
  add_test(NAME cli_signals
           COMMAND bash ${KT_CLI_TEST_DIR}/signals.sh $<TARGET_FILE:kt3916flash-cli>
                   ${CMAKE_BINARY_DIR}/cli-signal-work)
endif()
# The --help text as committed, to the byte: its Options section is laid out
# from the option table.
if(WIN32)
  set(KT_CLI_HELP ${KT_CLI_TEST_DIR}/help_win32.txt)
else()
  set(KT_CLI_HELP ${KT_CLI_TEST_DIR}/help.txt)
endif()
add_test(NAME cli_help COMMAND bash -c "diff -u \"$0\" <(\"$@\" --help | tr -d '\\r')" ${KT_CLI_HELP}
                                ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:kt3916flash-cli>)
