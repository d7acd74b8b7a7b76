# The line end to end (included from tests/CMakeLists.txt on Linux): the
# real kt3916flash-cli against real mosquitto brokers it starts itself.
add_test(NAME line_e2e COMMAND bash ${CMAKE_SOURCE_DIR}/tests/line/line_e2e.sh $<TARGET_FILE:kt3916flash-cli>
                               ${CMAKE_BINARY_DIR}/line-test-work)
set_tests_properties(line_e2e PROPERTIES TIMEOUT 300)
# The line's page in a real headless chromium (selenium), against a real
# broker, collector and emulated stations; its screenshot stays in the
# work folder.
add_test(NAME line_page_e2e COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/line/line_page_e2e.py
                                    $<TARGET_FILE:kt3916flash-cli> ${CMAKE_BINARY_DIR}/line-page-work)
set_tests_properties(line_page_e2e PROPERTIES TIMEOUT 120)
