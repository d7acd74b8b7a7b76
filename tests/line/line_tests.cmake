# The line end to end (included from tests/CMakeLists.txt on Linux): the
# real kt3916flash-cli against real mosquitto brokers it starts itself.
add_test(NAME line_e2e COMMAND bash ${CMAKE_SOURCE_DIR}/tests/line/line_e2e.sh $<TARGET_FILE:kt3916flash-cli>
                               ${CMAKE_BINARY_DIR}/line-test-work)
set_tests_properties(line_e2e PROPERTIES TIMEOUT 300)
