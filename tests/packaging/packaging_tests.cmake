# ctest entries for what ships (included from tests/CMakeLists.txt): the
# manual pages, the completion and the Windows README.txt against the
# programs' --help, and the packages themselves.
set(KT_PACKAGING_TEST_DIR ${CMAKE_SOURCE_DIR}/tests/packaging)
set(KT_PACKAGING_SOURCE_DIR ${CMAKE_SOURCE_DIR}/packaging)
if(WIN32)
  add_test(NAME package_zip
           COMMAND bash ${KT_PACKAGING_TEST_DIR}/zip_check.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION}
                   ${CMAKE_OBJDUMP} ${CMAKE_CROSSCOMPILING_EMULATOR})
  return()
endif()

# The CLI's help lists its exit codes one a line; the emulator's in a sentence.
foreach(program kt3916flash-cli kt3916flash-emulator)
  set(codes)
  if(program STREQUAL kt3916flash-cli)
    set(codes --codes)
  endif()
  add_test(NAME man_page_${program}
           COMMAND bash ${KT_PACKAGING_TEST_DIR}/help_sync.sh man ${KT_PACKAGING_SOURCE_DIR}/${program}.1.in
                   ${codes} -- $<TARGET_FILE:${program}>)
endforeach()
set(KT_COMPLETION ${KT_PACKAGING_SOURCE_DIR}/kt3916flash-cli.bash-completion)
add_test(NAME completion_options
         COMMAND bash ${KT_PACKAGING_TEST_DIR}/help_sync.sh completion ${KT_COMPLETION}
                 -- $<TARGET_FILE:kt3916flash-cli>)
add_test(NAME completion
         COMMAND bash ${KT_PACKAGING_TEST_DIR}/completion_test.sh ${KT_COMPLETION} $<TARGET_FILE:kt3916flash-cli>)
# The package is made of the shipped (optimised, unsanitised) programs.
if(NOT KT_SANITIZE)
  add_test(NAME package_deb
           COMMAND bash ${KT_PACKAGING_TEST_DIR}/deb_check.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
endif()
