# Tests of the script language and of qexpipe.
add_executable(script_parse_test ${CMAKE_CURRENT_LIST_DIR}/script_parse_test.cpp)
target_link_libraries(script_parse_test PRIVATE qexscript_syntax GTest::gtest GTest::gtest_main)
target_compile_definitions(script_parse_test PRIVATE ${QEX_TEST_DEFS})
gtest_discover_tests(script_parse_test NO_PRETTY_VALUES)

if(TARGET qexhost)
  add_executable(script_eval_test ${CMAKE_CURRENT_LIST_DIR}/script_eval_test.cpp)
  target_link_libraries(script_eval_test PRIVATE qexscript GTest::gtest GTest::gtest_main)
  target_compile_definitions(script_eval_test PRIVATE ${QEX_TEST_DEFS}
    HOST_TEST_PLUGIN="$<TARGET_FILE:host_test_plugin>")
  add_dependencies(script_eval_test host_test_plugin)
  gtest_discover_tests(script_eval_test NO_PRETTY_VALUES)

  add_library(qexpipe_sigint_plugin MODULE ${CMAKE_CURRENT_LIST_DIR}/sigint_plugin.cpp)
  target_link_libraries(qexpipe_sigint_plugin PRIVATE avisynth_api)
  set_target_properties(qexpipe_sigint_plugin PROPERTIES PREFIX "")

  add_executable(qexpipe_test ${CMAKE_CURRENT_LIST_DIR}/qexpipe_test.cpp)
  target_link_libraries(qexpipe_test PRIVATE qexpipe_core GTest::gtest GTest::gtest_main)
  target_compile_definitions(qexpipe_test PRIVATE ${QEX_TEST_DEFS}
    HOST_TEST_PLUGIN="$<TARGET_FILE:host_test_plugin>"
    SIGINT_TEST_PLUGIN="$<TARGET_FILE:qexpipe_sigint_plugin>")
  add_dependencies(qexpipe_test qexpipe host_test_plugin qexpipe_sigint_plugin)
  gtest_discover_tests(qexpipe_test NO_PRETTY_VALUES)
endif()
