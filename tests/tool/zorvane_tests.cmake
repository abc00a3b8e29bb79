# Tests of the zorvane front end and writers (the analysis has its own fragment).
add_executable(zorvane_unit_tests
  ${CMAKE_CURRENT_LIST_DIR}/zorvane_log_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zorvane_driver_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zorvane_writers_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zorvane_fastmode_test.cpp)
target_link_libraries(zorvane_unit_tests PRIVATE zorvane_core GTest::gtest_main)
target_compile_definitions(zorvane_unit_tests PRIVATE ${QEX_TEST_DEFS})
gtest_discover_tests(zorvane_unit_tests TEST_PREFIX "zorvane." DISCOVERY_TIMEOUT 60)

# Whole runs of the real binary.
add_executable(zorvane_run_tests ${CMAKE_CURRENT_LIST_DIR}/zorvane_runs_test.cpp)
target_link_libraries(zorvane_run_tests PRIVATE GTest::gtest_main)
target_compile_definitions(zorvane_run_tests PRIVATE ${QEX_TEST_DEFS})
add_dependencies(zorvane_run_tests zorvane)
gtest_discover_tests(zorvane_run_tests TEST_PREFIX "zorvane." DISCOVERY_TIMEOUT 60)
