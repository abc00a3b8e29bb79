# Tests of the whole-file writer shared by zorvane, the plug-in and qexpipe.
add_executable(wholefile_tests ${CMAKE_CURRENT_LIST_DIR}/wholefile_test.cpp)
target_link_libraries(wholefile_tests PRIVATE qexwholefile GTest::gtest_main)
gtest_discover_tests(wholefile_tests TEST_PREFIX "wholefile.")
