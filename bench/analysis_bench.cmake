# Times the cadence analysis alone on in-memory cycle records of a 24-hour log.
add_executable(zorvane_analysis_bench ${CMAKE_CURRENT_LIST_DIR}/analysis_bench.cpp)
target_link_libraries(zorvane_analysis_bench PRIVATE zorvane_analysis)
