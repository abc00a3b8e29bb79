# Tests of the Qex plug-in as a whole: scripts run through the real qexpipe binary with
# libqex.so loaded, a test plug-in that prepares the qexpipe process (outside verdict table,
# broken functions), in-process runs through the host library, the serving decisions alone,
# and an end-to-end run through x264 and mkvmerge.
set(QEX_FILTER_TEST_DIR ${CMAKE_CURRENT_LIST_DIR}/filter)

add_library(qexfiltertest SHARED ${QEX_FILTER_TEST_DIR}/test_plugin.cpp)
target_include_directories(qexfiltertest PRIVATE ${CMAKE_SOURCE_DIR}/host/include)
target_link_libraries(qexfiltertest PRIVATE qexplatform)
set_target_properties(qexfiltertest PROPERTIES CXX_VISIBILITY_PRESET hidden)

set(QEX_FILTER_TEST_DEFS ${QEX_TEST_DEFS})
if(QEX_SANITIZE)
  list(APPEND QEX_FILTER_TEST_DEFS QEX_TEST_SANITIZED=1)
endif()

add_library(qexfilterharness STATIC ${QEX_FILTER_TEST_DIR}/harness.cpp)
target_include_directories(qexfilterharness PUBLIC ${QEX_FILTER_TEST_DIR})
target_compile_definitions(qexfilterharness PRIVATE ${QEX_FILTER_TEST_DEFS})

add_executable(qex_filter_tests ${QEX_FILTER_TEST_DIR}/filter_tests.cpp)
target_link_libraries(qex_filter_tests PRIVATE qexfilterharness GTest::gmock GTest::gtest_main)
target_compile_definitions(qex_filter_tests PRIVATE ${QEX_FILTER_TEST_DEFS})
add_dependencies(qex_filter_tests qex qexpipe qexfiltertest)
gtest_discover_tests(qex_filter_tests)

add_executable(qex_serving_tests ${QEX_FILTER_TEST_DIR}/serving_tests.cpp)
target_link_libraries(qex_serving_tests PRIVATE qexserving GTest::gmock GTest::gtest_main)
gtest_discover_tests(qex_serving_tests)

add_executable(qex_inprocess_tests ${QEX_FILTER_TEST_DIR}/inprocess_tests.cpp)
target_link_libraries(qex_inprocess_tests PRIVATE qexscript qexplatform qexfilterharness GTest::gmock
                      GTest::gtest_main)
target_compile_definitions(qex_inprocess_tests PRIVATE ${QEX_FILTER_TEST_DEFS})
add_dependencies(qex_inprocess_tests qex qexfiltertest)
gtest_discover_tests(qex_inprocess_tests)

add_executable(qex_e2e_tests ${QEX_FILTER_TEST_DIR}/e2e_tests.cpp)
target_link_libraries(qex_e2e_tests PRIVATE qexfilterharness GTest::gmock GTest::gtest_main)
target_compile_definitions(qex_e2e_tests PRIVATE ${QEX_FILTER_TEST_DEFS})
add_dependencies(qex_e2e_tests qex qexpipe qexfiltertest)
gtest_discover_tests(qex_e2e_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 300)

# Post filters through qexpipe (and a host whose SetVar fails, in this process).
add_executable(qex_post_tests ${QEX_FILTER_TEST_DIR}/post_tests.cpp)
target_link_libraries(qex_post_tests PRIVATE qexscript qexfilterharness GTest::gmock GTest::gtest_main)
target_compile_definitions(qex_post_tests PRIVATE ${QEX_FILTER_TEST_DEFS})
add_dependencies(qex_post_tests qex qexpipe qexfiltertest)
gtest_discover_tests(qex_post_tests)

# The debug overlay through qexpipe, every strategy and pixel type.
add_executable(qex_debug_tests ${QEX_FILTER_TEST_DIR}/debug_tests.cpp)
target_link_libraries(qex_debug_tests PRIVATE qexcore qexfilterharness GTest::gmock GTest::gtest_main)
target_compile_definitions(qex_debug_tests PRIVATE ${QEX_FILTER_TEST_DEFS})
add_dependencies(qex_debug_tests qex qexpipe qexfiltertest)
gtest_discover_tests(qex_debug_tests)
