# Generator of synthetic zorvane logs (benchmark input and example logs).
add_executable(zorvane_loggen ${CMAKE_CURRENT_LIST_DIR}/zorvane_loggen.cpp)
