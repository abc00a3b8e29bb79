# Round trip: .def files written by the real zorvane binary, read back by the Qex core and
# checked against the segments of the tool's own analysis.
add_executable(roundtrip_tests ${CMAKE_CURRENT_LIST_DIR}/roundtrip_test.cpp)
target_link_libraries(roundtrip_tests PRIVATE zorvane_core qexcore GTest::gtest GTest::gtest_main)
target_compile_definitions(roundtrip_tests PRIVATE ${QEX_TEST_DEFS})
add_dependencies(roundtrip_tests zorvane zorvane_loggen)
gtest_discover_tests(roundtrip_tests TEST_PREFIX "roundtrip." DISCOVERY_TIMEOUT 60)
