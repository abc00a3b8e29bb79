# Tests of the debug overlay and of the timecodes/chapter writers.
add_executable(overlay_tests
  ${CMAKE_CURRENT_LIST_DIR}/overlay_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/outputs_test.cpp)
target_link_libraries(overlay_tests PRIVATE qexcore GTest::gtest_main)
target_compile_definitions(overlay_tests PRIVATE ${QEX_TEST_DEFS})
gtest_discover_tests(overlay_tests)

# End to end: mkvmerge muxes with our timecodes and chapters, ffprobe reads them back.
add_executable(outputs_sample ${CMAKE_CURRENT_LIST_DIR}/outputs_sample.cpp)
target_link_libraries(outputs_sample PRIVATE qexcore)
add_test(NAME OutputsReadBackByMkvmerge
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/outputs_mkv_e2e.sh $<TARGET_FILE:outputs_sample>)
