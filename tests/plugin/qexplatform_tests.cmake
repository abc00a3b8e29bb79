# Tests of the project reader, the platform layer and the VFR-info shared memory.
add_executable(project_tests ${CMAKE_CURRENT_LIST_DIR}/project_test.cpp)
target_link_libraries(project_tests PRIVATE qexplatform GTest::gtest_main)
target_compile_definitions(project_tests PRIVATE ${QEX_TEST_DEFS})
gtest_discover_tests(project_tests)

add_executable(vfrinfo_tests
  ${CMAKE_CURRENT_LIST_DIR}/vfrinfo_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform_test.cpp)
target_link_libraries(vfrinfo_tests PRIVATE qexplatform GTest::gtest_main)
target_compile_definitions(vfrinfo_tests PRIVATE ${QEX_TEST_DEFS})
gtest_discover_tests(vfrinfo_tests)

# The reader behind "tpr" statements of the definition reader (qexcore).
if(TARGET qexcore)
  add_executable(project_def_tests ${CMAKE_CURRENT_LIST_DIR}/project_def_test.cpp)
  target_link_libraries(project_def_tests PRIVATE qexcore GTest::gtest_main)
  target_compile_definitions(project_def_tests PRIVATE ${QEX_TEST_DEFS})
  gtest_discover_tests(project_def_tests)
endif()
