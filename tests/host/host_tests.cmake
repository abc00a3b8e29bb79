# Tests of the host core: environment, frames, core filters, sources, y4m, plug-in loading.
add_library(host_test_plugin MODULE ${CMAKE_CURRENT_LIST_DIR}/test_plugin.cpp)
target_link_libraries(host_test_plugin PRIVATE avisynth_api)
set_target_properties(host_test_plugin PROPERTIES PREFIX "")

add_library(host_test_noinit MODULE ${CMAKE_CURRENT_LIST_DIR}/no_init_plugin.cpp)
set_target_properties(host_test_noinit PROPERTIES PREFIX "")

add_executable(host_core_test
  ${CMAKE_CURRENT_LIST_DIR}/env_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/filters_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/y4m_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/plugin_load_test.cpp)
target_link_libraries(host_core_test PRIVATE qexhost GTest::gtest GTest::gtest_main)
target_compile_definitions(host_core_test PRIVATE ${QEX_TEST_DEFS}
  HOST_TEST_PLUGIN="$<TARGET_FILE:host_test_plugin>"
  HOST_TEST_NOINIT="$<TARGET_FILE:host_test_noinit>")
add_dependencies(host_core_test host_test_plugin host_test_noinit)
gtest_discover_tests(host_core_test)
