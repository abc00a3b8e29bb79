# Input generator of the host benchmark (bench/host_bench.sh).
add_executable(y4mgen ${CMAKE_CURRENT_LIST_DIR}/y4mgen.cpp)
