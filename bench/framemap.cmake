# Benchmark: a three-hour definition through the reader and the output pass.
add_executable(framemap_bench ${CMAKE_CURRENT_LIST_DIR}/framemap_bench.cpp)
target_link_libraries(framemap_bench PRIVATE qexcore)
