# Unit tests of the cadence analysis (filter table, sparse cycles, segments, phases).
add_executable(zorvane_analysis_tests
  ${CMAKE_CURRENT_LIST_DIR}/test_filtertable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_sparse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_segments.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_cut_reference.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_passes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_phase.cpp)
target_link_libraries(zorvane_analysis_tests PRIVATE zorvane_analysis GTest::gtest_main)
target_compile_definitions(zorvane_analysis_tests PRIVATE ${QEX_TEST_DEFS})
gtest_discover_tests(zorvane_analysis_tests TEST_PREFIX "zorvane.")
