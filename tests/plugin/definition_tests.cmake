# Tests of the host-free plug-in core: data model, definition reader, frame map.
add_executable(qexcore_tests
  ${CMAKE_CURRENT_LIST_DIR}/model_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/definition_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/framemap_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/golden_tests.cpp
)
target_link_libraries(qexcore_tests PRIVATE qexcore GTest::gtest GTest::gtest_main)
target_compile_definitions(qexcore_tests PRIVATE ${QEX_TEST_DEFS})
gtest_discover_tests(qexcore_tests)
